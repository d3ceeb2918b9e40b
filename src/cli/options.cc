#include "cli/options.h"

#include <charconv>
#include <functional>
#include <map>

namespace lumbrin::cli {
namespace {

std::optional<int> ParseNumber(const std::string& text, int low, int high) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

std::string UsageText() {
  return "usage: lumbrin-export --cookie-file FILE|- --out DIR [options]\n"
         "\n"
         "Exports every picture of the account into DIR. A re-run only fetches\n"
         "what is missing; an interrupted run is completed by the next one.\n"
         "\n"
         "  --cookie-file FILE|-   the session cookie, read from FILE or standard input\n"
         "  --out DIR              the export folder (created when missing)\n"
         "  --service URL          the service's base address\n"
         "  --jobs N               parallel requests, 1-64 (default 10)\n"
         "  --layout flat|day      all files in DIR, or under YYYY/MM/DD/ (default flat)\n"
         "  --retries N            retries of a transient failure, 0-20 (default 3)\n"
         "  --ca-file PEM          extra trusted CA certificates\n"
         "  --insecure             do not verify the service's certificate\n"
         "  --list-only            print the picture list, download nothing\n"
         "  --json                 machine-readable output on stdout\n"
         "  --quiet                no progress\n"
         "  --timeout SECONDS      per-phase request time-out, 1-600 (default 30)\n"
         "  --retry-base-ms N      first retry delay (default 500)\n"
         "  --retry-cap-ms N       longest retry delay (default 10000)\n"
         "  --progress-interval-ms N  plain progress line interval off a terminal (default 5000)\n"
         "  --help                 this text\n"
         "\n"
         "Exit codes: 0 all saved, 1 some pictures failed, 2 bad usage,\n"
         "3 no cookie or the service rejected it, 4 the folder cannot be used or is busy,\n"
         "130 interrupted.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args, const std::string& defaultService) {
  ExportOptions options;
  options.serviceUrl = defaultService;
  ParseResult result;
  const auto fail = [&](std::string why) {
    result.options.reset();
    result.error = std::move(why);
    return result;
  };

  using Setter = std::function<bool(const std::string&)>;
  const auto number = [](int& field, int low, int high) {
    return Setter([&field, low, high](const std::string& v) {
      const auto n = ParseNumber(v, low, high);
      if (n) field = *n;
      return n.has_value();
    });
  };
  const auto text = [](std::string& field) {
    return Setter([&field](const std::string& v) {
      field = v;
      return !v.empty();
    });
  };
  const std::map<std::string, Setter> valued = {
      {"--cookie-file", text(options.cookieFile)},
      {"--out", text(options.outDir)},
      {"--service", text(options.serviceUrl)},
      {"--ca-file", text(options.caFile)},
      {"--jobs", number(options.jobs, 1, 64)},
      {"--retries", number(options.retries, 0, 20)},
      {"--timeout", number(options.timeoutSeconds, 1, 600)},
      {"--retry-base-ms", number(options.retryBaseMs, 0, 60000)},
      {"--retry-cap-ms", number(options.retryCapMs, 0, 600000)},
      {"--progress-interval-ms", number(options.progressIntervalMs, 10, 3600000)},
      {"--layout", Setter([&options](const std::string& v) {
         if (v == "flat") options.layout = Layout::Flat;
         else if (v == "day") options.layout = Layout::Day;
         else return false;
         return true;
       })},
  };
  const std::map<std::string, bool*> flags = {
      {"--insecure", &options.insecure}, {"--list-only", &options.listOnly}, {"--json", &options.json},
      {"--quiet", &options.quiet},       {"--help", &options.help},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i] == "-h" ? "--help" : args[i];
    std::optional<std::string> value;
    // An argument is never echoed back whole: a user may have pasted a
    // secret where an option was expected.
    if (name.rfind("--", 0) != 0) return fail("unexpected argument #" + std::to_string(i + 1));
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (value) return fail(name + " takes no value");
      *flag->second = true;
      continue;
    }
    const auto setter = valued.find(name);
    if (setter == valued.end()) {
      std::string shown;
      for (const char c : name) shown.push_back((c >= 'a' && c <= 'z') || c == '-' ? c : '?');
      if (shown.size() > 40) shown.resize(40);
      return fail("unknown option " + shown);
    }
    if (!value) {
      if (i + 1 >= args.size()) return fail(name + " needs a value");
      value = args[++i];
    }
    if (!setter->second(*value)) {
      if (name == "--cookie-file" || name == "--out" || name == "--service" || name == "--ca-file") {
        return fail(name + " needs a non-empty value");
      }
      return fail("bad value for " + name);
    }
  }
  if (options.help) {
    result.options = options;
    return result;
  }
  if (options.outDir.empty()) return fail("--out is required");
  if (options.cookieFile.empty()) return fail("--cookie-file is required");
  while (!options.serviceUrl.empty() && options.serviceUrl.back() == '/') options.serviceUrl.pop_back();
  if (options.serviceUrl.rfind("http://", 0) != 0 && options.serviceUrl.rfind("https://", 0) != 0) {
    return fail("--service must be an http:// or https:// address");
  }
  if (options.retryCapMs < options.retryBaseMs) options.retryCapMs = options.retryBaseMs;
  result.options = options;
  return result;
}

}  // namespace lumbrin::cli
