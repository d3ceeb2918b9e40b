// lumbrin-export throughput and memory, against the fake service on
// loopback with 20 ms per answer and 40 ms per new connection.
//
// Prints pictures per second at --jobs 1, 10 and 32 next to the bound
// jobs / (3 x latency) (three answers per picture), listing days per second
// next to jobs / latency, and the peak resident memory of the exporter
// (ru_maxrss of the child, via wait4) while it saves four 200 MB files.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_gallery.h"
#include "support/spawn_child.h"

namespace {

namespace fs = std::filesystem;

struct ChildResult {
  int status = -1;
  long maxRssKb = 0;
  double seconds = 0;
  std::string out;
};

ChildResult RunExporter(const fs::path& work, const std::vector<std::string>& args) {
  ChildResult result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid =
      lumbrin::test::SpawnWithFiles(LUMBRIN_EXPORT_PATH, args, "/dev/null", work / "stdout.txt", work / "stderr.txt");
  if (pid < 0) return result;
  rusage usage{};
  int status = 0;
  wait4(pid, &status, 0, &usage);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.maxRssKb = usage.ru_maxrss;
  std::ifstream out(work / "stdout.txt");
  std::ostringstream text;
  text << out.rdbuf();
  result.out = text.str();
  return result;
}

double JsonNumber(const std::string& json, const std::string& name) {
  const auto pos = json.find("\"" + name + "\":");
  return pos == std::string::npos ? -1 : std::atof(json.c_str() + pos + name.size() + 3);
}

std::vector<std::string> ExportArgs(const lumbrin::fake::FakeGallery& fake, const fs::path& cookie,
                                    const fs::path& out, int jobs) {
  return {"--cookie-file", cookie.string(), "--out", out.string(), "--service", fake.baseUrl(),
          "--jobs", std::to_string(jobs), "--json", "--quiet"};
}

}  // namespace

int main() {
  const fs::path work = fs::temp_directory_path() / ("lumbrin-export-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  constexpr double kLatency = 0.020;

  {
    lumbrin::fake::FakeGalleryOptions options;
    options.days = 100;
    options.picturesPerDay = 5;  // 500 pictures
    options.minSize = 1000;
    options.maxSize = 8000;
    options.latencyMs = 20;
    options.connectDelayMs = 40;
    lumbrin::fake::FakeGallery fake(options);
    if (!fake.start()) {
      std::fprintf(stderr, "cannot start the fake service\n");
      return 1;
    }
    const fs::path cookie = work / "cookie.txt";
    std::ofstream(cookie) << fake.validCookie() << "\n";
    std::printf("export of %zu pictures in %d days, %d ms per answer, %d ms per new connection\n",
                fake.pictures().size(), options.days, options.latencyMs, options.connectDelayMs);
    std::printf("%5s %12s %12s %7s %12s %12s %7s %12s\n", "jobs", "pictures/s", "bound", "share", "days/s",
                "bound", "share", "connections");
    for (const int jobs : {1, 10, 32}) {
      const fs::path out = work / ("out-" + std::to_string(jobs));
      const auto before = fake.connectionsAccepted();
      const ChildResult run = RunExporter(work, ExportArgs(fake, cookie, out, jobs));
      const double total = JsonNumber(run.out, "seconds");
      const double check = JsonNumber(run.out, "checkSeconds");
      const double listing = JsonNumber(run.out, "listingSeconds");
      if (run.status != 0 || total <= check + listing || listing <= 0) {
        std::printf("jobs %d: export failed (exit %d)\n", jobs, run.status);
        continue;
      }
      const double pictures = static_cast<double>(fake.pictures().size()) / (total - check - listing);
      const double pictureBound = jobs / (3 * kLatency);
      const double days = options.days / listing;
      const double dayBound = jobs / kLatency;
      std::printf("%5d %12.1f %12.1f %6.0f%% %12.1f %12.1f %6.0f%% %12llu\n", jobs, pictures, pictureBound,
                  100 * pictures / pictureBound, days, dayBound, 100 * days / dayBound,
                  static_cast<unsigned long long>(fake.connectionsAccepted() - before));
      fs::remove_all(out);
    }
  }

  {
    lumbrin::fake::FakeGalleryOptions options;
    for (int i = 0; i < 4; ++i) {
      lumbrin::fake::FakePicture picture;
      picture.day = "20210301";
      picture.id = "big" + std::to_string(i);
      picture.fileName = "big" + std::to_string(i) + ".mp4";
      picture.size = std::uint64_t{200} << 20;
      picture.contentType = "video/mp4";
      options.explicitPictures.push_back(picture);
    }
    lumbrin::fake::FakeGallery fake(options);
    if (!fake.start()) return 1;
    const fs::path cookie = work / "cookie-big.txt";
    std::ofstream(cookie) << fake.validCookie() << "\n";
    const fs::path out = work / "out-big";
    const ChildResult run = RunExporter(work, ExportArgs(fake, cookie, out, 4));
    std::printf("four 200 MB files: exit %d, %.1f s, %.0f MB/s, peak resident memory of the exporter %.1f MB\n",
                run.status, run.seconds, 800.0 / run.seconds, static_cast<double>(run.maxRssKb) / 1024.0);
    fs::remove_all(out);
  }
  fs::remove_all(work);
  return 0;
}
