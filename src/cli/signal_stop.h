#pragma once
// Ctrl-C for the exporter: SIGINT and SIGTERM are blocked in every thread
// and taken by one watcher thread with sigwait, so no work runs in a signal
// handler. The first signal cancels the stop token; the second ends the
// process at once with status 130.

#include "base/cancel.h"

namespace lumbrin::cli {

// Call once, before any other thread is started (threads inherit the
// blocked mask). The watcher thread and `stop` must live until exit.
void WatchStopSignals(CancelToken& stop);

}  // namespace lumbrin::cli
