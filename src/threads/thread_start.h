#pragma once
// Starting worker threads, plain or with argument copies, and steering them.
//
// Every started thread is detached: nothing ever joins it and the process may
// end while it runs. It shares a ThreadControl with the handle its starter
// gets. Ending and freezing are cooperative: both cancel the thread's
// CancelToken, which the thread has installed as its CurrentCancelToken() for
// its whole life, so that
//   - its web request in flight is aborted and no further one is sent,
//   - the GUI refuses the control requests it makes afterwards,
//   - it can start no further thread: a start made by a thread whose control
//     is ended gives an empty handle. end() and freeze() are serialised with
//     the starts of that thread, so once they return, no start of it succeeds.
//
// Thread contract: every operation of ThreadControl may be called from any
// thread at any time. The routine of a started thread runs with every
// exception caught (an escaping one gives exit code 0).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <variant>

#include "base/cancel.h"
#include "base/text.h"

namespace lumbrin {

// One argument of StartThreadWithArgs: a text or a byte buffer.
using ThreadArg = std::variant<LocalText, ByteBuffer>;

// An argument slot; std::nullopt means "not supplied".
using ThreadArgSlot = std::optional<ThreadArg>;

// A text argument from a C string; a null pointer is a missing text and is
// passed as an empty one.
[[nodiscard]] ThreadArgSlot TextArg(const char* text);

class ThreadControl {
public:
  ThreadControl();
  ThreadControl(const ThreadControl&) = delete;
  ThreadControl& operator=(const ThreadControl&) = delete;

  // The thread's token, installed as its CurrentCancelToken().
  [[nodiscard]] CancelToken& token() noexcept { return token_; }
  // Small process-unique id, never 0.
  [[nodiscard]] std::uint32_t id() const noexcept { return id_; }

  // Ends the thread: cancels its token. A thread still waiting to be resumed
  // never runs its routine. Idempotent; never blocks on the thread.
  void end();
  // Same effect as end(), for a dispatcher that must take no further row and
  // start no further worker; there is no way back.
  void freeze();
  // Lets a thread that was started suspended run its routine. No effect on
  // a thread that was not suspended, has been resumed or has been ended.
  void resume();

  [[nodiscard]] bool isEnded() const noexcept { return token_.cancelled(); }
  [[nodiscard]] bool isFrozen() const noexcept { return frozen_.load(std::memory_order_acquire); }
  // The routine has begun.
  [[nodiscard]] bool started() const noexcept { return started_.load(std::memory_order_acquire); }
  // The thread body is done: the routine has returned (or was skipped) and
  // the argument copies are released.
  [[nodiscard]] bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // The routine's result; 0 until finished() or when the routine was skipped.
  [[nodiscard]] std::int32_t exitCode() const noexcept { return exitCode_.load(std::memory_order_acquire); }

  // Blocks until finished() or the timeout; for tests and for threads that may
  // wait. The GUI thread never calls it.
  [[nodiscard]] bool waitFinished(std::chrono::milliseconds timeout);

private:
  friend struct ThreadLauncher;

  void cancel(bool frozen);
  bool waitUntilRunnable();
  void markFinished(std::int32_t code);

  CancelToken token_;
  const std::uint32_t id_;
  std::atomic<bool> frozen_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::int32_t> exitCode_{0};

  // Serialises end()/freeze() with the thread's own starts of other threads.
  std::mutex startMutex_;

  std::mutex stateMutex_;  // guards the three fields below
  std::condition_variable stateChanged_;
  bool suspended_ = false;
  bool resumed_ = false;
};

// Empty handle: no thread.
using ThreadHandle = std::shared_ptr<ThreadControl>;

// The control of the thread that is running, null on threads not started here.
[[nodiscard]] ThreadControl* CurrentThreadControl() noexcept;

// Starts `routine(parameter)` on a new detached thread. Empty on failure: the
// thread could not be created, or the calling thread has been ended.
// `threadId` receives the new thread's id on success.
[[nodiscard]] ThreadHandle StartThread(std::function<std::int32_t(std::int32_t)> routine,
                                       std::int32_t parameter, std::uint32_t* threadId = nullptr);

using ThreadArgsRoutine = std::function<std::int32_t(std::span<const ThreadArg>)>;

// Starts `routine` on a new detached thread with copies of the supplied
// arguments, which the new thread owns; the caller's may change or go away
// as soon as this returns. The first argument not supplied ends the list (a
// later one is ignored). With `createSuspended` true the routine runs only
// after resume(). Empty on a null routine, a failed start or an ended caller.
[[nodiscard]] ThreadHandle StartThreadWithArgs(
    ThreadArgsRoutine routine, std::optional<bool> createSuspended = std::nullopt,
    std::uint32_t* threadId = nullptr, ThreadArgSlot a1 = std::nullopt, ThreadArgSlot a2 = std::nullopt,
    ThreadArgSlot a3 = std::nullopt, ThreadArgSlot a4 = std::nullopt, ThreadArgSlot a5 = std::nullopt,
    ThreadArgSlot a6 = std::nullopt, ThreadArgSlot a7 = std::nullopt, ThreadArgSlot a8 = std::nullopt,
    ThreadArgSlot a9 = std::nullopt, ThreadArgSlot a10 = std::nullopt);

}  // namespace lumbrin
