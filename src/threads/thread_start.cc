#include "threads/thread_start.h"

#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace lumbrin {
namespace {

thread_local ThreadControl* currentControl = nullptr;

std::uint32_t NextThreadId() noexcept {
  static std::atomic<std::uint32_t> counter{0};
  std::uint32_t id = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  while (id == 0) id = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  return id;
}

}  // namespace

ThreadArgSlot TextArg(const char* text) { return ThreadArg(LocalText(text != nullptr ? text : "")); }

ThreadControl::ThreadControl() : id_(NextThreadId()) {}

void ThreadControl::cancel(bool frozen) {
  {
    std::lock_guard lock(startMutex_);
    if (frozen) frozen_.store(true, std::memory_order_release);
    token_.cancel();
  }
  // Wakes a body still waiting to be resumed, so it can skip its routine.
  std::lock_guard lock(stateMutex_);
  stateChanged_.notify_all();
}

void ThreadControl::end() { cancel(false); }
void ThreadControl::freeze() { cancel(true); }

void ThreadControl::resume() {
  std::lock_guard lock(stateMutex_);
  resumed_ = true;
  stateChanged_.notify_all();
}

bool ThreadControl::waitUntilRunnable() {
  std::unique_lock lock(stateMutex_);
  if (suspended_) stateChanged_.wait(lock, [this] { return resumed_ || token_.cancelled(); });
  return !token_.cancelled();
}

void ThreadControl::markFinished(std::int32_t code) {
  std::lock_guard lock(stateMutex_);
  exitCode_.store(code, std::memory_order_release);
  finished_.store(true, std::memory_order_release);
  stateChanged_.notify_all();
}

bool ThreadControl::waitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock lock(stateMutex_);
  return stateChanged_.wait_for(lock, timeout, [this] { return finished(); });
}

ThreadControl* CurrentThreadControl() noexcept { return currentControl; }

// Creates threads on behalf of the public starters; the one place that knows
// the body every started thread runs.
struct ThreadLauncher {
  static void body(std::shared_ptr<ThreadControl> control, std::function<std::int32_t()> run) noexcept {
    currentControl = control.get();
    ScopedCancelToken scope(&control->token());
    std::int32_t code = 0;
    try {
      if (control->waitUntilRunnable()) {
        control->started_.store(true, std::memory_order_release);
        code = run();
      }
    } catch (...) {
      code = 0;
    }
    try {
      run = nullptr;  // releases the argument copies before finished() turns true
    } catch (...) {
    }
    control->markFinished(code);
    currentControl = nullptr;
  }

  static ThreadHandle launch(std::function<std::int32_t()> run, bool suspended, std::uint32_t* threadId) {
    try {
      // A started thread that has been ended starts nothing more. Holding its
      // start lock across the creation makes end()/freeze() wait for a start
      // under way, so none can succeed after they return.
      std::unique_lock<std::mutex> parentLock;
      if (ThreadControl* parent = currentControl; parent != nullptr) {
        parentLock = std::unique_lock(parent->startMutex_);
        if (parent->token().cancelled()) return {};
      } else if (CancelToken* token = CurrentCancelToken(); token != nullptr && token->cancelled()) {
        return {};
      }
      auto control = std::make_shared<ThreadControl>();
      control->suspended_ = suspended;  // before the thread exists: no lock needed
      std::thread(&ThreadLauncher::body, control, std::move(run)).detach();
      if (threadId != nullptr) *threadId = control->id();
      return control;
    } catch (const std::system_error&) {
      return {};
    } catch (const std::bad_alloc&) {
      return {};
    }
  }
};

ThreadHandle StartThread(std::function<std::int32_t(std::int32_t)> routine, std::int32_t parameter,
                         std::uint32_t* threadId) {
  if (!routine) return {};
  return ThreadLauncher::launch(
      [routine = std::move(routine), parameter]() { return routine(parameter); }, false, threadId);
}

ThreadHandle StartThreadWithArgs(ThreadArgsRoutine routine, std::optional<bool> createSuspended,
                                 std::uint32_t* threadId, ThreadArgSlot a1, ThreadArgSlot a2, ThreadArgSlot a3,
                                 ThreadArgSlot a4, ThreadArgSlot a5, ThreadArgSlot a6, ThreadArgSlot a7,
                                 ThreadArgSlot a8, ThreadArgSlot a9, ThreadArgSlot a10) {
  if (!routine) return {};
  std::vector<ThreadArg> copies;
  try {
    copies.reserve(10);
    for (ThreadArgSlot* slot : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10}) {
      if (!slot->has_value()) break;
      copies.push_back(std::move(**slot));
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return ThreadLauncher::launch(
      [routine = std::move(routine), copies = std::move(copies)]() {
        return routine(std::span<const ThreadArg>(copies));
      },
      createSuspended.value_or(false), threadId);
}

}  // namespace lumbrin
