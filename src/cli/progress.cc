#include "cli/progress.h"

#include <cstdio>

namespace lumbrin::cli {
namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string HumanBytes(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 6) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string HumanDuration(std::chrono::seconds duration) {
  long long total = duration.count() < 0 ? 0 : static_cast<long long>(duration.count());
  const long long hours = total / 3600;
  const long long minutes = total / 60 % 60;
  const long long seconds = total % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
  }
  return text;
}

ProgressReporter::ProgressReporter(std::ostream& out, Mode mode, std::chrono::milliseconds plainInterval,
                                   const ProgressCounters& counters)
    : out_(out), mode_(mode), interval_(plainInterval), counters_(counters) {}

ProgressReporter::~ProgressReporter() { stop(); }

void ProgressReporter::start() {
  if (mode_ == Mode::Off || thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void ProgressReporter::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  if (drawn_) {
    out_ << "\r\x1b[K" << std::flush;
    drawn_ = false;
  }
}

void ProgressReporter::downloadsStarted() { downloadStartNs_.store(NowNs(), std::memory_order_relaxed); }

void ProgressReporter::message(const std::string& line) {
  if (mode_ == Mode::Off) return;
  std::lock_guard lock(mutex_);
  if (drawn_) out_ << "\r\x1b[K";
  out_ << line << std::flush;
  drawn_ = false;
}

std::string ProgressReporter::line() const {
  if (counters_.phase.load() == 0) {
    return "listing: " + std::to_string(counters_.daysDone.load()) + "/" + std::to_string(counters_.daysTotal.load()) +
           " days, " + std::to_string(counters_.listed.load()) + " pictures";
  }
  const std::int64_t done = counters_.fetched.load();
  const std::int64_t total = counters_.toFetch.load();
  const std::uint64_t bytes = counters_.received.load();
  const std::int64_t start = downloadStartNs_.load(std::memory_order_relaxed);
  const double elapsed = start == 0 ? 0 : static_cast<double>(NowNs() - start) / 1e9;
  std::string text = std::to_string(done) + "/" + std::to_string(total) + " pictures, " + HumanBytes(bytes);
  if (elapsed > 0.5) {
    text += ", " + HumanBytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / elapsed)) + "/s";
    if (done > 0 && done < total) {
      const double eta = elapsed / static_cast<double>(done) * static_cast<double>(total - done);
      text += ", ETA " + HumanDuration(std::chrono::seconds(static_cast<long long>(eta)));
    }
  }
  text += ", " + std::to_string(counters_.failed.load()) + " failed";
  return text;
}

void ProgressReporter::draw(bool final) {
  // Called with mutex_ held.
  const std::string text = line();
  if (mode_ == Mode::Live) {
    out_ << "\r" << text << "\x1b[K" << std::flush;
    drawn_ = true;
  } else if (!final) {
    out_ << text << "\n" << std::flush;
  }
}

void ProgressReporter::run() {
  const auto period = mode_ == Mode::Live ? std::chrono::milliseconds(250) : interval_;
  std::unique_lock lock(mutex_);
  if (mode_ == Mode::Live) draw(false);
  while (!stopping_) {
    if (wake_.wait_for(lock, period, [this] { return stopping_; })) break;
    draw(false);
  }
}

}  // namespace lumbrin::cli
