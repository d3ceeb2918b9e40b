#pragma once
// A one-way cancellation flag that a worker's blocking calls can watch.
//
// Thread contract: cancel() may be called from any thread, any number of
// times. Wakers run on the cancelling thread under the token's lock, so that
// removeWaker() can promise they are done; they must be quick, must not throw
// and must not touch the token (e.g. a curl_multi_wakeup).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace lumbrin {

class CancelToken {
public:
  CancelToken() = default;
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  [[nodiscard]] bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

  void cancel() {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    for (auto& entry : wakers_) entry.second();
    wakers_.clear();
  }

  // Registers a callback run once when the token is cancelled. When the token
  // already is cancelled, the callback is not stored and 0 is returned: the
  // caller must check cancelled() itself after registering.
  std::uint64_t addWaker(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    if (cancelled_.load(std::memory_order_acquire)) return 0;
    const auto id = ++nextId_;
    wakers_.emplace_back(id, std::move(fn));
    return id;
  }

  // After removeWaker returns, the callback is not running and will not run.
  void removeWaker(std::uint64_t id) {
    if (id == 0) return;
    std::lock_guard lock(mutex_);
    std::erase_if(wakers_, [id](const auto& w) { return w.first == id; });
  }

private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::uint64_t nextId_ = 0;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> wakers_;
};

}  // namespace lumbrin

namespace lumbrin {

// The token of the thread that is running, set by the thread starter for the
// whole life of a worker (null on threads it did not start). Blocking calls
// that take no explicit token watch this one, so ending a worker also aborts
// its request in flight and keeps it from sending a new one.
[[nodiscard]] CancelToken* CurrentCancelToken() noexcept;

// Installs `token` as the current thread's token for the scope's lifetime.
class ScopedCancelToken {
public:
  explicit ScopedCancelToken(CancelToken* token) noexcept;
  ~ScopedCancelToken();
  ScopedCancelToken(const ScopedCancelToken&) = delete;
  ScopedCancelToken& operator=(const ScopedCancelToken&) = delete;

private:
  CancelToken* previous_;
};

namespace detail {
inline thread_local CancelToken* currentCancelToken = nullptr;
}

inline CancelToken* CurrentCancelToken() noexcept { return detail::currentCancelToken; }
inline ScopedCancelToken::ScopedCancelToken(CancelToken* token) noexcept
    : previous_(detail::currentCancelToken) {
  detail::currentCancelToken = token;
}
inline ScopedCancelToken::~ScopedCancelToken() { detail::currentCancelToken = previous_; }

}  // namespace lumbrin
