// lumbrin-export: complete, resumable exports from the command line.
#include <unistd.h>

#include <iostream>

#include "cli/exporter.h"
#include "cli/signal_stop.h"

int main(int argc, char** argv) {
  // Leaked on purpose: the signal watcher may still read it while the
  // process exits.
  auto* stop = new lumbrin::CancelToken();
  lumbrin::cli::WatchStopSignals(*stop);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const lumbrin::cli::ExportIo io{std::cin, std::cout, std::cerr, stop, ::isatty(STDERR_FILENO) == 1};
  return lumbrin::cli::RunExport(args, io);
}
