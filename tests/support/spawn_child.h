#pragma once
// Starts a program as a child process with files for its standard streams:
// what the exporter's tests and benchmarks run it with. Header-only, so the
// benchmarks use it without the test libraries.

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace lumbrin::test {

// `program` with `args`, reading `input` and writing `output` and `errors`
// (both truncated). The child's pid, or -1 when it could not be started.
inline pid_t SpawnWithFiles(const std::string& program, const std::vector<std::string>& args,
                            const std::filesystem::path& input, const std::filesystem::path& output,
                            const std::filesystem::path& errors) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace lumbrin::test
