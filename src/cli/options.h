#pragma once
// Command line of lumbrin-export. The cookie is never an argument: it comes
// from a file or standard input, so it never shows in a process listing.

#include <optional>
#include <string>
#include <vector>

namespace lumbrin::cli {

enum class Layout { Flat, Day };

struct ExportOptions {
  std::string cookieFile;  // a path, or "-" for standard input
  std::string outDir;
  std::string serviceUrl;  // no trailing "/"
  int jobs = 10;
  Layout layout = Layout::Flat;
  int retries = 3;
  std::string caFile;
  bool insecure = false;
  bool listOnly = false;
  bool json = false;
  bool quiet = false;
  bool help = false;
  int timeoutSeconds = 30;      // per phase of every request
  int retryBaseMs = 500;        // first backoff; doubles per attempt
  int retryCapMs = 10000;       // longest backoff
  int progressIntervalMs = 5000;  // plain progress lines when stderr is no terminal
};

struct ParseResult {
  std::optional<ExportOptions> options;  // empty: bad usage
  std::string error;                     // why, safe to print (never echoes a value)
};

// `defaultService` is the build's service address.
[[nodiscard]] ParseResult ParseOptions(const std::vector<std::string>& args, const std::string& defaultService);

[[nodiscard]] std::string UsageText();

}  // namespace lumbrin::cli
