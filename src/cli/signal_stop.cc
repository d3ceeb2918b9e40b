#include "cli/signal_stop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace lumbrin::cli {

void WatchStopSignals(CancelToken& stop) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A closed stdout must end in a write error, not kill a run mid-file.
  ::signal(SIGPIPE, SIG_IGN);
  std::thread([set, &stop] {
    int received = 0;
    for (int count = 0;; ++count) {
      if (sigwait(&set, &received) != 0) continue;
      if (count > 0) _exit(130);
      static constexpr char kNote[] = "\nlumbrin-export: stopping (press Ctrl-C again to quit at once)\n";
      (void)!::write(STDERR_FILENO, kNote, sizeof kNote - 1);
      stop.cancel();
    }
  }).detach();
}

}  // namespace lumbrin::cli
