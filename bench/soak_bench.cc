// Soak: lumbrin-export (the real executable) over 5,000 pictures of a fake
// service that fails about 5 % of its requests and answers with a changing
// latency, re-run until the export is complete (at most 10 runs). Prints the
// runs needed, the pictures lost (a file missing or not byte-equal to the
// service's content: must be 0), the child's memory and open descriptors
// sampled through /proc while it runs (must stay flat), and the time.
// Stops after 10 minutes whatever happens.
//
//   soak_bench [PICTURES]     (default 5000)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_gallery.h"
#include "support/spawn_child.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using lumbrin::fake::FakeGallery;
using lumbrin::fake::FakeGalleryOptions;
using lumbrin::fake::Fault;
using lumbrin::fake::RequestKind;

constexpr auto kOverallLimit = std::chrono::minutes(10);
constexpr int kMaxRuns = 10;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// VmRSS of /proc/<pid>/status in KiB; -1 when gone.
long RssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

long OpenFds(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return ec && n == 0 ? -1 : n;
}

struct Samples {
  std::vector<long> rss;
  std::vector<long> fds;
  void add(long r, long f) {
    if (r > 0) rss.push_back(r);
    if (f > 0) fds.push_back(f);
  }
};

// The value at `fraction` of the run (samples are in time order).
long At(const std::vector<long>& values, double fraction) {
  if (values.empty()) return -1;
  const auto i = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[i];
}

struct RunResult {
  int exitCode = -1;
  double seconds = 0;
  std::string summary;
};

// Runs the exporter once, sampling it every 50 ms; killed at `deadline`.
RunResult RunOnce(const std::vector<std::string>& args, const fs::path& work, Clock::time_point deadline,
                  Samples& samples) {
  RunResult result;
  const auto started = Clock::now();
  const pid_t pid =
      lumbrin::test::SpawnWithFiles(LUMBRIN_EXPORT_PATH, args, "/dev/null", work / "stdout.txt", work / "stderr.txt");
  if (pid < 0) {
    std::fprintf(stderr, "cannot start %s\n", LUMBRIN_EXPORT_PATH);
    return result;
  }
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      std::printf("  run killed at the overall time limit\n");
      break;
    }
    samples.add(RssKib(pid), OpenFds(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.summary = ReadAll(work / "stdout.txt");
  return result;
}

// A number member of the exporter's one-line JSON summary.
long Member(const std::string& json, const std::string& name) {
  const std::size_t at = json.find("\"" + name + "\":");
  return at == std::string::npos ? -1 : std::strtol(json.c_str() + at + name.size() + 3, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  const auto begun = Clock::now();
  const auto deadline = begun + kOverallLimit;
  const int pictures = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;

  FakeGalleryOptions options;
  options.seed = 7;
  options.days = 50;
  options.picturesPerDay = (pictures + options.days - 1) / options.days;
  options.minSize = 2000;
  options.maxSize = 20000;
  options.cookie = "session=soak";
  FakeGallery fake(options);
  if (!fake.start()) {
    std::fprintf(stderr, "cannot start the fake service\n");
    return 1;
  }
  // About 5 % of the picture requests fail, split over the three steps of
  // the chain and the listing; every fault is one a client can notice.
  const auto sometimes = [](double probability, auto set) {
    Fault fault;
    set(fault);
    fault.probability = probability;
    return fault;
  };
  fake.setFault(RequestKind::Galleries, sometimes(0.05, [](Fault& f) { f.status = 503; }));
  fake.setFault(RequestKind::Storage, sometimes(0.015, [](Fault& f) { f.status = 500; }));
  fake.setFault(RequestKind::Wrapped, sometimes(0.015, [](Fault& f) { f.resetMidBody = true; }));
  fake.setFault(RequestKind::File, sometimes(0.02, [](Fault& f) { f.truncate = true; }));

  // Latency that changes every 200 ms, 0 to 15 ms.
  std::atomic<bool> done{false};
  std::thread jitter([&] {
    std::mt19937 rng(11);
    while (!done.load()) {
      fake.setLatencyMs(static_cast<int>(rng() % 16));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });

  const fs::path work = fs::temp_directory_path() / ("lumbrin-soak-" + std::to_string(::getpid()));
  const fs::path out = work / "export";
  fs::create_directories(work);
  {
    std::ofstream cookie(work / "cookie.txt");
    cookie << fake.validCookie() << "\n";
  }
  const std::vector<std::string> args = {"--cookie-file", (work / "cookie.txt").string(), "--out", out.string(),
                                         "--service", fake.baseUrl(), "--jobs", "10", "--retries", "1",
                                         "--retry-base-ms", "50", "--retry-cap-ms", "200", "--timeout", "5",
                                         "--json", "--quiet"};

  std::printf("soak: %zu pictures, 5 %% faults, latency 0-15 ms, at most %d runs, %lld min limit\n",
              fake.pictures().size(), kMaxRuns, static_cast<long long>(kOverallLimit.count()));
  Samples first;
  Samples all;
  int runs = 0;
  int lastExit = -1;
  while (runs < kMaxRuns && Clock::now() < deadline) {
    Samples samples;
    const RunResult run = RunOnce(args, work, deadline, samples);
    ++runs;
    lastExit = run.exitCode;
    if (runs == 1) first = samples;
    all.rss.insert(all.rss.end(), samples.rss.begin(), samples.rss.end());
    all.fds.insert(all.fds.end(), samples.fds.begin(), samples.fds.end());
    std::printf("  run %d: exit %d in %.1f s: listed %ld, saved %ld, already there %ld, failed %ld\n", runs,
                run.exitCode, run.seconds, Member(run.summary, "listed"), Member(run.summary, "saved"),
                Member(run.summary, "alreadyThere"), Member(run.summary, "failed"));
    if (run.exitCode == 0) break;
  }
  done = true;
  jitter.join();

  // Every picture byte for byte under its name; nothing half written.
  long lost = 0;
  for (const auto& p : fake.pictures()) {
    const lumbrin::ByteBuffer content = fake.contentOf(p.id);
    const std::string bytes = ReadAll(out / p.fileName);
    if (bytes.size() != content.size() || !std::equal(bytes.begin(), bytes.end(), content.begin(),
                                                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
      ++lost;
    }
  }
  long parts = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(out, ec)) parts += entry.path().extension() == ".part" ? 1 : 0;

  const auto peak = [](const std::vector<long>& v) { return v.empty() ? -1L : *std::max_element(v.begin(), v.end()); };
  const auto low = [](const std::vector<long>& v) { return v.empty() ? -1L : *std::min_element(v.begin(), v.end()); };
  std::printf("runs needed: %d (last exit %d)\n", runs, lastExit);
  std::printf("pictures lost: %ld of %zu (part files left: %ld)\n", lost, fake.pictures().size(), parts);
  std::printf("child RSS (first run) KiB: 10%% %ld, 50%% %ld, 90%% %ld; peak over all runs %ld\n",
              At(first.rss, 0.1), At(first.rss, 0.5), At(first.rss, 0.9), peak(all.rss));
  std::printf("child open fds: min %ld, max %ld (first run 10%% %ld, 90%% %ld); %zu samples\n", low(all.fds),
              peak(all.fds), At(first.fds, 0.1), At(first.fds, 0.9), all.fds.size());
  std::printf("time: %.1f s\n", std::chrono::duration<double>(Clock::now() - begun).count());

  fake.stop();
  fs::remove_all(work, ec);
  return lost == 0 && lastExit == 0 ? 0 : 1;
}
