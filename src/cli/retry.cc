#include "cli/retry.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace lumbrin::cli {

std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int retry, std::uint64_t random) {
  const std::int64_t cap = std::max(0, policy.capMs);
  std::int64_t delay = std::max(0, policy.baseMs);
  for (int i = 1; i < retry && delay < cap; ++i) delay *= 2;
  delay = std::min(delay, cap);
  const std::int64_t half = delay / 2;
  const std::int64_t spread = delay - half;
  return std::chrono::milliseconds(half + (spread > 0 ? static_cast<std::int64_t>(random % static_cast<std::uint64_t>(spread + 1)) : 0));
}

bool WaitOrCancel(std::chrono::milliseconds delay, CancelToken& token) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable wake;
  };
  auto wait = std::make_shared<Wait>();
  const auto waker = token.addWaker([wait] {
    std::lock_guard lock(wait->mutex);
    wait->wake.notify_all();
  });
  {
    std::unique_lock lock(wait->mutex);
    wait->wake.wait_for(lock, delay, [&token] { return token.cancelled(); });
  }
  token.removeWaker(waker);
  return !token.cancelled();
}

}  // namespace lumbrin::cli
