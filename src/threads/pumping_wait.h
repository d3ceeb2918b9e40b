#pragma once
// A timed wait that keeps the calling thread's event loop running.
//
// Thread contract: callable on any thread; each call uses only its own state
// and the calling thread's event pump. On a thread without a pump it blocks
// (never spins) until the deadline, or until the thread's CurrentCancelToken()
// is cancelled, so an ended worker does not linger in its pause.

#include <chrono>
#include <cstdint>

namespace lumbrin {

// Dispatches the events of the thread it is installed on.
class EventPump {
public:
  virtual ~EventPump() = default;
  // Dispatches what is pending, then keeps dispatching arriving events until
  // `deadline`; returns early when the loop is asked to quit. A deadline in
  // the past dispatches only what is pending.
  virtual void pumpUntil(std::chrono::steady_clock::time_point deadline) = 0;
};

// Installs `pump` (not owned, may be null) for the calling thread.
void SetThreadEventPump(EventPump* pump) noexcept;
[[nodiscard]] EventPump* ThreadEventPump() noexcept;

// The length of the wait for `amount` in `unit`: 0 milliseconds, 1 seconds,
// 2 minutes, 3 hours, any other value a multiplier in milliseconds. Never
// negative (a wait into the past ends at once); clamped to what a deadline can hold.
[[nodiscard]] std::chrono::milliseconds PumpingWaitDuration(std::int32_t amount, std::int64_t unit = 0) noexcept;

// Waits PumpingWaitDuration(amount, unit), dispatching the thread's events
// meanwhile when it has a pump. Always true.
bool PumpingWait(std::int32_t amount, std::int64_t unit = 0);

}  // namespace lumbrin
