#pragma once
// Progress of an export on stderr: one live line redrawn in place on a
// terminal, a plain line every interval otherwise, nothing when quiet.
//
// Thread contract: workers only touch the atomic counters; the reporter's
// own thread does all the printing while it runs. Between start() and stop()
// nobody else writes to the stream except through message().

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace lumbrin::cli {

struct ProgressCounters {
  std::atomic<int> phase{0};  // 0 listing, 1 downloading
  std::atomic<std::int64_t> daysTotal{0};
  std::atomic<std::int64_t> daysDone{0};
  std::atomic<std::int64_t> listed{0};
  std::atomic<std::int64_t> toFetch{0};   // pictures the download phase works through
  std::atomic<std::int64_t> fetched{0};   // of those, finished (saved or failed)
  std::atomic<std::int64_t> failed{0};
  std::atomic<std::uint64_t> received{0};  // body bytes, for the rate
};

// "1.5 MB", "980 B" (units of 1024).
[[nodiscard]] std::string HumanBytes(std::uint64_t bytes);
// "0:07", "12:34", "1:02:03".
[[nodiscard]] std::string HumanDuration(std::chrono::seconds duration);

class ProgressReporter {
public:
  enum class Mode { Off, Live, Plain };
  ProgressReporter(std::ostream& out, Mode mode, std::chrono::milliseconds plainInterval,
                   const ProgressCounters& counters);
  ~ProgressReporter();  // stops
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  void start();
  // Joins the thread; a live line is cleared.
  void stop();
  // Prints a whole line (with its "\n") without garbling the live line.
  void message(const std::string& line);
  // Marks the start of the download phase (the rate counts from here).
  void downloadsStarted();

  // The text of the progress line right now.
  [[nodiscard]] std::string line() const;

private:
  void run();
  void draw(bool final);

  std::ostream& out_;
  const Mode mode_;
  const std::chrono::milliseconds interval_;
  const ProgressCounters& counters_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool drawn_ = false;
  std::atomic<std::int64_t> downloadStartNs_{0};
  std::thread thread_;
};

}  // namespace lumbrin::cli
