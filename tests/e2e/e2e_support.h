#pragma once
// Whole-system drivers for the fault and security suites: the real window
// (offscreen, driven through its widgets) and the real lumbrin-export process,
// each run against a service on loopback, and the reconciliation of what a
// run reported with what it left on disk.
//
// Thread contract: everything here runs on the test's main thread, which is
// the GUI thread of the QApplication made in e2e_main.cc.

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/text.h"
#include "gallery/host.h"
#include "http/web_request.h"

namespace lumbrin {
class MainWindow;
}

namespace lumbrin::e2e {

namespace fs = std::filesystem;

// How a run downloads: the window's one worker ("单线程下载"), its ten
// workers ("多线程下载"), or the exporter as a child process.
enum class Mode { WindowSingle, WindowTen, Export };
[[nodiscard]] const char* ModeName(Mode mode);
inline void PrintTo(Mode mode, std::ostream* out) { *out << ModeName(mode); }

// One picture as the service lists it, with what a correct run saves.
struct Expected {
  std::string id;
  std::string savedName;  // UTF-8, the name the file must end up under
  ByteBuffer content;
};

// A picture's outcome as the run reported it.
struct Reported {
  int saved = 0;
  int failed = 0;
};

struct RunReport {
  bool finished = false;          // ended by itself within the bound
  std::string problem;            // why not, or what else went wrong
  std::map<std::string, Reported> byId;
  int unknownLines = 0;           // result lines naming no listed picture
  int listed = -1;                // rows or the exporter's "listed"
  int exitCode = -1;              // exporter only
  std::string logText;            // window: the whole log box; exporter: stdout + stderr
};

// Checks every invariant of a finished run over `folder`: each listed picture
// reported exactly once, saved ones byte for byte under their name, failed
// ones absent, nothing else in the folder but `ownFiles` (the exporter's
// state, lock and failures file), no temporary file anywhere.
// Adds a GoogleTest failure per broken invariant; returns the saved count.
int ExpectConsistent(const RunReport& report, const std::vector<Expected>& pictures, const fs::path& folder,
                     bool exporterFolder);

// Regular files under `root` (relative UTF-8 paths), symlinks included.
[[nodiscard]] std::vector<std::string> FilesUnder(const fs::path& root);

// The real window over one service. Creates the window on construction and
// waits for its workers to end before it goes.
class WindowRun {
public:
  WindowRun(ServiceSettings service, fs::path saveFolder);
  ~WindowRun();
  WindowRun(const WindowRun&) = delete;
  WindowRun& operator=(const WindowRun&) = delete;

  [[nodiscard]] MainWindow& window() { return *window_; }
  // Pastes the cookie and presses "获取所有图片"; waits until the listing ends.
  // False when it did not end within `bound`.
  bool list(const std::string& cookie, std::chrono::milliseconds bound);
  [[nodiscard]] int rows();
  // Presses the mode's download button and waits for the run's end (the
  // completion box of the single worker, or every picture thread done).
  // The report reconciles the log's result lines against `pictures`.
  RunReport download(Mode mode, const std::vector<Expected>& pictures, std::chrono::milliseconds bound);
  [[nodiscard]] std::string logText();
  // Texts of the visible message boxes; closes them.
  std::vector<std::string> takeMessages();

private:
  std::unique_ptr<MainWindow> window_;
};

// The exporter as a real process, its streams in `work`.
struct ExportRun {
  RunReport report;
  std::map<std::string, std::string> failureReasons;  // id -> reason
  int saved = 0, alreadyThere = 0, notAttempted = 0;
};

// Runs lumbrin-export with --json --quiet --cookie-file (written into
// `work`) --out `out` --service `service` and `extraArgs`; the report holds
// the summary's verdicts per id (a listed id not among the failures counts
// as saved or already there).
ExportRun RunExporter(const fs::path& work, const fs::path& out, const std::string& service,
                      const std::string& cookie, const std::vector<std::string>& extraArgs,
                      const std::vector<Expected>& pictures, std::chrono::milliseconds bound);

[[nodiscard]] std::string ReadAll(const fs::path& path);

}  // namespace lumbrin::e2e
