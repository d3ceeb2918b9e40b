#pragma once
// Runs the real lumbrin-export executable as a child process with files for
// its standard streams, and inspects what it left in an export folder.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace lumbrin::test {

struct CliRun {
  int exitCode = -1;  // 128 + signal when it was killed
  std::string out;
  std::string err;
};

// A started export; `work` holds its stream files.
class CliProcess {
public:
  CliProcess(const std::filesystem::path& work, const std::vector<std::string>& args, const std::string& input = {});
  ~CliProcess();  // kills the child with SIGKILL when it still runs
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] bool running();
  void signal(int sig);
  // Waits for the end, at most `timeoutMs` (then SIGKILL).
  CliRun wait(int timeoutMs = 120000);

private:
  std::filesystem::path work_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

CliRun RunCli(const std::filesystem::path& work, const std::vector<std::string>& args, const std::string& input = {});

[[nodiscard]] std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);

// Every regular file under `root`, relative path -> size (symlinks listed
// with size -1 so a test notices them).
[[nodiscard]] std::map<std::string, long long> FilesUnder(const std::filesystem::path& root);

// True when `needle` occurs in any file under `root` or in any of `texts`.
[[nodiscard]] bool AppearsAnywhere(const std::string& needle, const std::filesystem::path& root,
                                   const std::vector<std::string>& texts);

}  // namespace lumbrin::test
