#include "cli/exporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "cli/cookie_input.h"
#include "cli/export_folder.h"
#include "cli/export_state.h"
#include "cli/name_plan.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/retry.h"
#include "cli/service_calls.h"
#include "gallery/file_names.h"
#include "gallery/listing.h"
#include "http/charset.h"

#ifndef LUMBRIN_SERVICE_URL
#define LUMBRIN_SERVICE_URL "https://gallery.invalid"
#endif

namespace lumbrin::cli {
namespace fs = std::filesystem;
namespace {

// The exporter keeps its own picture list; of the host it needs only the
// cookie and the service settings, which never change during a run, so
// every call is safe from any thread.
class ExportHost final : public Host {
public:
  ExportHost(LocalText cookie, ServiceSettings settings, fs::path folder)
      : cookie_(std::move(cookie)), settings_(std::move(settings)), folder_(std::move(folder)) {
    state_.runState = 1;
  }
  LocalText cookieText() override { return cookie_; }
  void removeAllRows() override {}
  int appendRow(const std::vector<LocalText>&) override { return -1; }
  void setCell(int, int, const LocalText&) override {}
  int rowCount() override { return 0; }
  LocalText cellText(int, int) override { return {}; }
  void appendLog(const LocalText&) override {}
  void showMessage(const LocalText&) override {}
  SharedState& state() override { return state_; }
  const ServiceSettings& service() override { return settings_; }
  fs::path saveFolder() override { return folder_; }

private:
  const LocalText cookie_;
  const ServiceSettings settings_;
  const fs::path folder_;
  SharedState state_;
};

std::uint64_t RandomDraw() {
  thread_local std::mt19937_64 engine([] {
    std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      std::random_device device;
      seed ^= (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
    }
    return seed;
  }());
  return engine();
}

// Runs `attempt` until it is not transient, retries are used up or the
// stop token ends the wait in between.
template <class Attempt>
auto WithRetries(const RetryPolicy& policy, CancelToken& stop, Attempt attempt) {
  for (int retry = 0;; ++retry) {
    auto result = attempt();
    if (result.judged.verdict != Verdict::Transient || retry >= policy.retries) return result;
    if (!WaitOrCancel(BackoffDelay(policy, retry + 1, RandomDraw()), stop)) {
      result.judged = {Verdict::Cancelled, "cancelled"};
      return result;
    }
  }
}

// Runs `work(i)` for i in [0, count) on up to `jobs` threads, each with the
// stop token as its current token (so requests in flight are aborted).
template <class Work>
void RunParallel(std::size_t count, int jobs, CancelToken& stop, Work work) {
  std::atomic<std::size_t> next{0};
  const auto loop = [&] {
    ScopedCancelToken scoped(&stop);
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= count || stop.cancelled()) return;
      work(i);
    }
  };
  const std::size_t threads = std::min<std::size_t>(count, static_cast<std::size_t>(jobs < 1 ? 1 : jobs));
  std::vector<std::thread> pool;
  pool.reserve(threads);
  try {
    for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(loop);
  } catch (const std::system_error&) {
    // Fewer threads than asked for still get through the list.
  }
  if (pool.empty()) loop();
  for (std::thread& thread : pool) thread.join();
}

// Runs jobs on a few threads, in order of submission; submit() blocks while
// `capacity` jobs wait, so finished downloads cannot pile up open files.
// finish() runs what is queued and joins; jobs must not throw.
class Committer {
public:
  Committer(int threads, std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {
    for (int i = 0; i < threads; ++i) {
      try {
        threads_.emplace_back([this] { run(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~Committer() { finish(); }
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  void submit(std::function<void()> job) {
    if (threads_.empty()) {
      job();
      return;
    }
    std::unique_lock lock(mutex_);
    space_.wait(lock, [this] { return jobs_.size() < capacity_; });
    jobs_.push_back(std::move(job));
    work_.notify_one();
  }

  void finish() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      space_.notify_one();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable space_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

struct DayListing {
  std::vector<ListedPicture> pictures;
  std::optional<Judged> failure;
};

std::vector<DayListing> ListDays(Host& host, const std::vector<std::string>& days, int jobs,
                                 const RetryPolicy& policy, CancelToken& stop, ProgressCounters& counters) {
  std::vector<DayListing> listings(days.size());
  counters.daysTotal = static_cast<std::int64_t>(days.size());
  RunParallel(days.size(), jobs, stop, [&](std::size_t i) {
    DayListing& listing = listings[i];
    for (int page = 0; page < kMaxGalleryPages; ++page) {
      PageResult result = WithRetries(policy, stop, [&] { return FetchDayPage(host, days[i], page); });
      if (result.judged.verdict != Verdict::Ok) {
        if (result.judged.verdict != Verdict::Cancelled) listing.failure = result.judged;
        return;
      }
      counters.listed += static_cast<std::int64_t>(result.pictures.size());
      const bool full = result.pictures.size() >= static_cast<std::size_t>(kGalleryPageSize);
      for (ListedPicture& picture : result.pictures) listing.pictures.push_back(std::move(picture));
      if (!full) break;
    }
    ++counters.daysDone;
  });
  return listings;
}

enum class TaskState { Pending, AlreadyThere, Saved, Failed };

struct Task {
  const ListedPicture* picture = nullptr;
  std::string path;  // relative, UTF-8
  TaskState state = TaskState::Pending;
  std::string reason;
  std::uint64_t bytes = 0;
};

bool HasRecordedFile(const fs::path& folder, const SavedPicture& saved) {
  struct stat info {};
  if (::lstat((folder / saved.path).c_str(), &info) != 0) return false;
  return S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == saved.size;
}

class Export {
public:
  Export(const ExportOptions& options, const ExportIo& io, CancelToken& stop)
      : options_(options), io_(io), stop_(stop), folder_(options.outDir),
        policy_{options.retries, options.retryBaseMs, options.retryCapMs} {}

  int run();

private:
  void fail(const std::string& message) { io_.err << "lumbrin-export: " << message << "\n" << std::flush; }
  int checkSession(ExportHost& host, std::vector<std::string>& days);
  std::vector<const ListedPicture*> uniquePictures(const std::vector<DayListing>& listings);
  std::unordered_map<std::string, SavedPicture> recordedPictures();
  int listOnly(const std::vector<const ListedPicture*>& pictures, const Summary& partial);
  void download(ExportHost& host, std::vector<Task>& tasks);
  void finishSummary(Summary& summary, const std::vector<Task>& tasks);

  const ExportOptions& options_;
  const ExportIo& io_;
  CancelToken& stop_;
  const fs::path folder_;
  const RetryPolicy policy_;
  ProgressCounters counters_;
  std::unique_ptr<ExportState> state_;
  std::unique_ptr<ProgressReporter> progress_;
};

int Export::checkSession(ExportHost& host, std::vector<std::string>& days) {
  ScopedCancelToken scoped(&stop_);
  TimelineResult timeline = WithRetries(policy_, stop_, [&] { return FetchTimelineDays(host); });
  switch (timeline.judged.verdict) {
    case Verdict::Ok: days = std::move(timeline.dayKeys); return kExitOk;
    case Verdict::Cancelled: fail("interrupted"); return kExitInterrupted;
    case Verdict::Transient:
      fail("cannot reach the service at " + options_.serviceUrl + ": " + timeline.judged.reason);
      return kExitSomeFailed;
    case Verdict::Permanent: break;
  }
  fail("the service rejected the cookie (" + timeline.judged.reason +
       "); sign in again in the browser and copy a fresh cookie");
  return kExitCookie;
}

std::vector<const ListedPicture*> Export::uniquePictures(const std::vector<DayListing>& listings) {
  // A day key repeated in the timeline, or a picture the service lists on
  // two pages, is one picture: it is saved once.
  std::vector<const ListedPicture*> pictures;
  std::unordered_set<LocalText> seen;
  for (const DayListing& listing : listings) {
    for (const ListedPicture& picture : listing.pictures) {
      if (seen.insert(picture.id).second) pictures.push_back(&picture);
    }
  }
  return pictures;
}

std::unordered_map<std::string, SavedPicture> Export::recordedPictures() {
  std::unordered_map<std::string, SavedPicture> recorded;
  if (state_) {
    for (SavedPicture& saved : state_->all()) recorded.emplace(saved.id, std::move(saved));
  }
  return recorded;
}

int Export::listOnly(const std::vector<const ListedPicture*>& pictures, const Summary& partial) {
  std::vector<NameRequest> requests;
  requests.reserve(pictures.size());
  for (const ListedPicture* p : pictures) requests.push_back({p->id, p->fileName, p->day});
  const std::vector<std::string> paths = PlanPaths(requests, recordedPictures(), options_.layout);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const ListedPicture& p = *pictures[i];
    WriteListLine(io_.out, {p.day, LocalToUtf8(p.id), paths[i], LocalToUtf8(p.thumbnail)}, options_.json);
  }
  io_.out << std::flush;
  for (const FailedDay& day : partial.unlistedDays) fail("day " + day.day + " could not be listed: " + day.reason);
  if (stop_.cancelled()) return kExitInterrupted;
  return partial.unlistedDays.empty() ? kExitOk : kExitSomeFailed;
}

void Export::download(ExportHost& host, std::vector<Task>& tasks) {
  std::vector<std::size_t> queue;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (tasks[i].state == TaskState::Pending) queue.push_back(i);
  }
  counters_.toFetch = static_cast<std::int64_t>(queue.size());
  counters_.phase = 1;
  if (progress_) progress_->downloadsStarted();
  // fsync takes as long as a request or two on common disks; committing on
  // other threads lets each worker start its next picture at once.
  Committer committer(std::clamp(options_.jobs / 2, 1, 8), static_cast<std::size_t>(options_.jobs));
  RunParallel(queue.size(), options_.jobs, stop_, [&](std::size_t q) {
    Task& task = tasks[queue[q]];
    const ListedPicture& picture = *task.picture;
    const fs::path target = folder_ / task.path;
    const fs::path folder = target.parent_path();
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string name = target.filename().string();
    PictureAttempt attempt = WithRetries(policy_, stop_, [&] {
      return FetchPicture(host, picture.id, folder, name, &counters_.received);
    });
    if (attempt.judged.verdict == Verdict::Cancelled) return;  // stays pending: not attempted
    if (attempt.judged.verdict != Verdict::Ok) {
      task.state = TaskState::Failed;
      task.reason = attempt.judged.reason;
      ++counters_.failed;
      ++counters_.fetched;
      return;
    }
    committer.submit([this, &task, file = std::shared_ptr<PartFile>(std::move(attempt.file))] {
      const ListedPicture& saved = *task.picture;
      if (file->commit()) {
        task.state = TaskState::Saved;
        task.bytes = file->written();
        // Recorded only after the rename: a record always names a whole file.
        (void)state_->record({LocalToUtf8(saved.id), task.path, task.bytes, saved.day, LocalToUtf8(saved.fileName)});
      } else {
        task.state = TaskState::Failed;
        task.reason = "cannot write the file";
        ++counters_.failed;
      }
      ++counters_.fetched;
    });
  });
  committer.finish();
}

void Export::finishSummary(Summary& summary, const std::vector<Task>& tasks) {
  for (const Task& task : tasks) {
    switch (task.state) {
      case TaskState::AlreadyThere: ++summary.alreadyThere; break;
      case TaskState::Saved:
        ++summary.saved;
        summary.bytes += task.bytes;
        break;
      case TaskState::Failed:
        summary.failed.push_back({LocalToUtf8(task.picture->id), task.path, task.reason});
        break;
      case TaskState::Pending: ++summary.notAttempted; break;
    }
  }
}

int Export::run() {
  const auto started = std::chrono::steady_clock::now();
  const std::optional<LocalText> cookie = ReadCookie(options_.cookieFile, io_.in);
  if (!cookie) {
    fail(options_.cookieFile == "-" ? "cannot read the cookie from standard input"
                                    : "cannot read the cookie file " + options_.cookieFile);
    return kExitCookie;
  }
  if (cookie->empty()) {
    fail("no cookie given: put the cookie text the browser holds for the service into the cookie file");
    return kExitCookie;
  }
  ServiceSettings settings;
  settings.baseUrl = options_.serviceUrl;
  settings.caFile = options_.caFile;
  settings.insecure = options_.insecure;
  settings.timeoutSeconds = options_.timeoutSeconds;
  ExportHost host(*cookie, settings, folder_);

  // The session is checked before anything is written.
  std::vector<std::string> days;
  if (const int code = checkSession(host, days); code != kExitOk) return code;

  FolderLock lock;
  if (!options_.listOnly) {
    if (const auto problem = PrepareFolder(folder_)) {
      fail(options_.outDir + ": " + *problem);
      return kExitFolder;
    }
    switch (lock.acquire(folder_)) {
      case FolderLock::Result::Locked: break;
      case FolderLock::Result::Busy:
        fail("another export is writing into " + options_.outDir);
        return kExitFolder;
      case FolderLock::Result::Failed:
        fail(options_.outDir + ": cannot create the lock file");
        return kExitFolder;
    }
    std::string error;
    state_ = ExportState::Open(folder_, &error);
    if (!state_) {
      fail(options_.outDir + ": " + error);
      return kExitFolder;
    }
    (void)RemoveStaleParts(folder_);
  } else {
    std::error_code ec;
    if (fs::is_regular_file(folder_ / kStateFileName, ec)) state_ = ExportState::Open(folder_, nullptr);
  }

  const ProgressReporter::Mode mode = options_.quiet ? ProgressReporter::Mode::Off
                                      : io_.errIsTerminal ? ProgressReporter::Mode::Live
                                                          : ProgressReporter::Mode::Plain;
  progress_ = std::make_unique<ProgressReporter>(io_.err, mode, std::chrono::milliseconds(options_.progressIntervalMs),
                                                 counters_);
  progress_->start();
  const auto checked = std::chrono::steady_clock::now();
  const std::vector<DayListing> listings = ListDays(host, days, options_.jobs, policy_, stop_, counters_);

  Summary summary;
  summary.folder = options_.outDir;
  summary.checkSeconds = std::chrono::duration<double>(checked - started).count();
  summary.listingSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - checked).count();
  for (std::size_t i = 0; i < days.size(); ++i) {
    if (listings[i].failure) summary.unlistedDays.push_back({days[i], listings[i].failure->reason});
  }
  const std::vector<const ListedPicture*> pictures = uniquePictures(listings);
  summary.listed = static_cast<std::int64_t>(pictures.size());

  if (options_.listOnly) {
    progress_->stop();
    return listOnly(pictures, summary);
  }

  std::vector<NameRequest> requests;
  requests.reserve(pictures.size());
  for (const ListedPicture* p : pictures) requests.push_back({p->id, p->fileName, p->day});
  const std::unordered_map<std::string, SavedPicture> recorded = recordedPictures();
  const std::vector<std::string> paths = PlanPaths(requests, recorded, options_.layout);
  std::vector<Task> tasks(pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    tasks[i].picture = pictures[i];
    tasks[i].path = paths[i];
    const auto it = recorded.find(LocalToUtf8(pictures[i]->id));
    if (it != recorded.end() && it->second.path == paths[i] && HasRecordedFile(folder_, it->second)) {
      tasks[i].state = TaskState::AlreadyThere;
    }
  }
  if (!stop_.cancelled()) download(host, tasks);
  progress_->stop();

  finishSummary(summary, tasks);
  summary.interrupted = stop_.cancelled();
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // An interrupted run that failed nothing says nothing about earlier
  // failures of pictures it did not reach: their list stays.
  if (!summary.interrupted || !summary.failed.empty()) {
    if (!UpdateFailuresFile(folder_, summary)) fail("cannot write " + std::string(kFailuresFileName));
  }
  if (options_.json) {
    WriteSummaryJson(io_.out, summary);
  } else {
    WriteSummaryText(io_.out, summary);
  }
  io_.out << std::flush;
  if (summary.interrupted) return kExitInterrupted;
  return summary.failed.empty() && summary.unlistedDays.empty() ? kExitOk : kExitSomeFailed;
}

}  // namespace

int RunExport(const std::vector<std::string>& args, const ExportIo& io) {
  try {
    const ParseResult parsed = ParseOptions(args, LUMBRIN_SERVICE_URL);
    if (!parsed.options) {
      io.err << "lumbrin-export: " << parsed.error << "\n" << "Try 'lumbrin-export --help'.\n" << std::flush;
      return kExitUsage;
    }
    if (parsed.options->help) {
      io.out << UsageText() << std::flush;
      return kExitOk;
    }
    CancelToken ownStop;
    Export run(*parsed.options, io, io.stop != nullptr ? *io.stop : ownStop);
    return run.run();
  } catch (const std::exception& error) {
    // Out of memory or the like; the message never holds the cookie.
    io.err << "lumbrin-export: internal error: " << error.what() << "\n" << std::flush;
    return kExitSomeFailed;
  }
}

int RunExport(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return RunExport(args, ExportIo{in, out, err});
}

}  // namespace lumbrin::cli
