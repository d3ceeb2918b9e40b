// Download throughput of the single and the ten-worker run against the fake
// service with a delay per answer and per new connection, and the peak memory
// of downloading four large files at once. Prints figures; asserts nothing.
//
//   download_bench [pictures] [large-file-MB]

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_gallery.h"
#include "gallery/host.h"
#include "gallery/listing.h"
#include "gallery/runs.h"
#include "http/charset.h"
#include "http/web_request.h"

namespace {

using namespace lumbrin;
namespace fs = std::filesystem;

class BenchHost : public Host {
public:
  BenchHost(const std::string& baseUrl, const std::string& cookie, fs::path folder)
      : cookie_(cookie), folder_(std::move(folder)) {
    service_.baseUrl = baseUrl;
    service_.timeoutSeconds = 30;
    service_.session = &session_;
    state_.runState = 1;
  }
  LocalText cookieText() override { return cookie_; }
  void removeAllRows() override {
    std::lock_guard lock(mutex_);
    rows_.clear();
  }
  int appendRow(const std::vector<LocalText>& cells) override {
    std::lock_guard lock(mutex_);
    rows_.push_back(cells);
    return static_cast<int>(rows_.size()) - 1;
  }
  void setCell(int, int, const LocalText&) override {}
  int rowCount() override {
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
  }
  LocalText cellText(int row, int column) override {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column > 2) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }
  void appendLog(const LocalText& text) override {
    std::lock_guard lock(mutex_);
    if (text.find(LocalFromUtf8("下载成功")) != LocalText::npos) ++saved_;
    if (text.find(LocalFromUtf8("下载失败")) != LocalText::npos) ++failed_;
    changed_.notify_all();
  }
  void showMessage(const LocalText&) override {}
  SharedState& state() override { return state_; }
  const ServiceSettings& service() override { return service_; }
  fs::path saveFolder() override { return folder_; }

  // Waits until `pictures` results are logged and no download is running.
  void waitForResults(int pictures) {
    std::unique_lock lock(mutex_);
    while (saved_ + failed_ < pictures || state_.activeWorkers.load() != 0) {
      changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
  }
  int saved() {
    std::lock_guard lock(mutex_);
    return saved_;
  }
  int failed() {
    std::lock_guard lock(mutex_);
    return failed_;
  }

private:
  WebSession session_;
  LocalText cookie_;
  fs::path folder_;
  ServiceSettings service_;
  SharedState state_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<LocalText>> rows_;
  int saved_ = 0;
  int failed_ = 0;
};

fs::path MakeFolder() {
  std::string pattern = (fs::temp_directory_path() / "lumbrin-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

// Peak resident set of the process so far, in MiB.
double PeakMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Lists and downloads every picture of `fake` in `mode`; returns the seconds
// the download took.
double Download(fake::FakeGallery& fake, int mode, int pictures, int* saved, int* failed) {
  const fs::path folder = MakeFolder();
  double seconds = 0;
  {
    BenchHost host(fake.baseUrl(), fake.validCookie(), folder);
    ListAllPictures(host);
    if (host.rowCount() != pictures) std::fprintf(stderr, "listed %d of %d\n", host.rowCount(), pictures);
    host.state().downloadMode = mode;
    const auto start = std::chrono::steady_clock::now();
    if (mode == 1) {
      RunSingleWorker(host);
    } else {
      DownloadDispatcher(host);
    }
    host.waitForResults(host.rowCount());
    seconds = Seconds(start);
    *saved = host.saved();
    *failed = host.failed();
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int pictures = argc > 1 ? std::atoi(argv[1]) : 60;
  const int largeMiB = argc > 2 ? std::atoi(argv[2]) : 200;
  constexpr int kLatencyMs = 20;
  constexpr int kConnectMs = 40;

  std::printf("%d pictures, %d ms per answer, %d ms per new connection\n", pictures, kLatencyMs, kConnectMs);
  for (const int mode : {1, 2}) {
    fake::FakeGalleryOptions options;
    options.picturesOfDay = {pictures};
    options.minSize = 20000;
    options.maxSize = 100000;
    options.latencyMs = kLatencyMs;
    options.connectDelayMs = kConnectMs;
    fake::FakeGallery fake(options);
    if (!fake.start()) return 1;
    int saved = 0;
    int failed = 0;
    const double seconds = Download(fake, mode, pictures, &saved, &failed);
    // One picture is three answers; ten workers are also held to one start
    // per pass of the dispatcher.
    const double perPicture = 3 * kLatencyMs / 1000.0;
    const double bound = mode == 1 ? 1 / perPicture : std::min(10 / perPicture, 1000.0 / kDispatchPassMs);
    std::printf("%-12s %6.2f pictures/s  (bound %5.2f/s)  %d saved, %d failed, %.2f s\n",
                mode == 1 ? "one worker" : "ten workers", saved / seconds, bound, saved, failed, seconds);
  }

  fake::FakeGalleryOptions options;
  for (int i = 0; i < 4; ++i) {
    fake::FakePicture large;
    large.day = "20210301";
    large.id = "large" + std::to_string(i);
    large.fileName = "large" + std::to_string(i) + ".mp4";
    large.size = static_cast<std::uint64_t>(largeMiB) << 20;
    options.explicitPictures.push_back(large);
  }
  fake::FakeGallery fake(options);
  if (!fake.start()) return 1;
  const double before = PeakMiB();
  int saved = 0;
  int failed = 0;
  const double seconds = Download(fake, 2, 4, &saved, &failed);
  std::printf("4 x %d MiB at once: peak resident %.1f MiB (%.1f MiB before), %d saved, %d failed, %.2f s\n",
              largeMiB, PeakMiB(), before, saved, failed, seconds);
  return failed == 0 ? 0 : 1;
}
