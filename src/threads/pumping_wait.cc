#include "threads/pumping_wait.h"

#include <condition_variable>
#include <limits>
#include <mutex>

#include "base/cancel.h"

namespace lumbrin {
namespace {

thread_local EventPump* threadPump = nullptr;

// The longest wait whose length still fits the 100 ns units the waitable
// timer of the original platform counts in; far beyond any real use.
constexpr double kMaxWaitMs = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 10000);

std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds wait) {
  const auto now = std::chrono::steady_clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::time_point::max() - now);
  // Leave a margin: the standard library adds to the deadline when it
  // converts between clocks.
  if (wait >= room / 2) return now + room / 2;
  return now + wait;
}

}  // namespace

void SetThreadEventPump(EventPump* pump) noexcept { threadPump = pump; }
EventPump* ThreadEventPump() noexcept { return threadPump; }

std::chrono::milliseconds PumpingWaitDuration(std::int32_t amount, std::int64_t unit) noexcept {
  double multiplier = 0;
  switch (unit) {
    case 0: multiplier = 1; break;
    case 1: multiplier = 1000; break;
    case 2: multiplier = 60000; break;
    case 3: multiplier = 3600000; break;
    default: multiplier = static_cast<double>(unit); break;
  }
  const double ms = static_cast<double>(amount) * multiplier;
  if (!(ms > 0)) return std::chrono::milliseconds(0);
  if (ms >= kMaxWaitMs) return std::chrono::milliseconds(static_cast<std::int64_t>(kMaxWaitMs));
  return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

bool PumpingWait(std::int32_t amount, std::int64_t unit) {
  const auto deadline = DeadlineAfter(PumpingWaitDuration(amount, unit));
  if (EventPump* pump = threadPump; pump != nullptr) {
    pump->pumpUntil(deadline);
    return true;
  }
  CancelToken* token = CurrentCancelToken();
  std::mutex mutex;
  std::condition_variable wake;
  bool cancelled = false;
  std::uint64_t waker = 0;
  if (token != nullptr) {
    waker = token->addWaker([&] {
      std::lock_guard lock(mutex);
      cancelled = true;
      wake.notify_all();
    });
    if (waker == 0) return true;  // already cancelled
  }
  {
    std::unique_lock lock(mutex);
    wake.wait_until(lock, deadline, [&] { return cancelled; });
  }
  if (token != nullptr) token->removeWaker(waker);
  return true;
}

}  // namespace lumbrin
