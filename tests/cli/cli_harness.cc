#include "cli/cli_harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/spawn_child.h"

namespace lumbrin::test {

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFileText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

CliProcess::CliProcess(const std::filesystem::path& work, const std::vector<std::string>& args,
                       const std::string& input)
    : work_(work) {
  WriteFileText(work_ / "stdin.txt", input);
  pid_ = SpawnWithFiles(LUMBRIN_EXPORT_PATH, args, work_ / "stdin.txt", work_ / "stdout.txt", work_ / "stderr.txt");
  if (pid_ < 0) throw std::runtime_error("cannot start lumbrin-export");
}

CliProcess::~CliProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
}

bool CliProcess::running() {
  if (reaped_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void CliProcess::signal(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

CliRun CliProcess::wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  CliRun run;
  run.exitCode = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  run.out = ReadFileText(work_ / "stdout.txt");
  run.err = ReadFileText(work_ / "stderr.txt");
  // Under a sanitizer build the child reports there; some of its reports do
  // not change the exit code, and an expected exit code 1 would hide others.
  for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "WARNING: ThreadSanitizer"}) {
    if (run.err.find(report) != std::string::npos) ADD_FAILURE() << "lumbrin-export: " << run.err;
  }
  return run;
}

CliRun RunCli(const std::filesystem::path& work, const std::vector<std::string>& args, const std::string& input) {
  CliProcess process(work, args, input);
  return process.wait();
}

std::map<std::string, long long> FilesUnder(const std::filesystem::path& root) {
  std::map<std::string, long long> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const auto status = it->symlink_status();
    const std::string relative = std::filesystem::relative(it->path(), root).string();
    if (std::filesystem::is_symlink(status)) {
      files[relative] = -1;
    } else if (std::filesystem::is_regular_file(status)) {
      files[relative] = static_cast<long long>(it->file_size());
    }
  }
  return files;
}

bool AppearsAnywhere(const std::string& needle, const std::filesystem::path& root,
                     const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    if (text.find(needle) != std::string::npos) return true;
  }
  for (const auto& [relative, size] : FilesUnder(root)) {
    if (size >= 0 && ReadFileText(root / relative).find(needle) != std::string::npos) return true;
  }
  return false;
}

}  // namespace lumbrin::test
