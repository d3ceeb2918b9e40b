#pragma once
// lumbrin-export as a routine, so tests run it in-process with their own
// streams, and the executable is a thin main around it.
//
// Thread contract: call from one thread; it starts and joins its own
// workers and returns only when all have ended.

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "base/cancel.h"

namespace lumbrin::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCookie = 3;
inline constexpr int kExitFolder = 4;
inline constexpr int kExitInterrupted = 130;

struct ExportIo {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Cancelled to stop the export (Ctrl-C): no new picture is taken, those in
  // flight are aborted, the state and the summary are written. May be null.
  CancelToken* stop = nullptr;
  bool errIsTerminal = false;  // draw the live progress line
};

[[nodiscard]] int RunExport(const std::vector<std::string>& args, const ExportIo& io);
[[nodiscard]] int RunExport(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace lumbrin::cli
