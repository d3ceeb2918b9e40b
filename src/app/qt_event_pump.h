#pragma once
// The event pump of the GUI thread: lets a timed wait on that thread keep
// the window responsive (see threads/pumping_wait.h).

#include "threads/pumping_wait.h"

namespace lumbrin {

// Install with SetThreadEventPump on the thread that runs the Qt event loop.
class QtEventPump final : public EventPump {
public:
  void pumpUntil(std::chrono::steady_clock::time_point deadline) override;
};

}  // namespace lumbrin
