// lumbrin-export end to end: the real executable against the fake service
// on loopback, checking the files it leaves byte for byte.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "cli/cli_harness.h"
#include "cli/export_folder.h"
#include "cli/export_state.h"
#include "cli/name_plan.h"
#include "fake_gallery.h"
#include "support/temp_dir.h"

namespace lumbrin::test {
namespace {

namespace fs = std::filesystem;
using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::Fault;
using fake::RequestKind;

std::size_t CountOf(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

bool IsOwnFile(const std::string& relative) {
  return relative.rfind(".lumbrin-export.", 0) == 0 || relative == "lumbrin-export-failures.txt";
}

class ExportTest : public ::testing::Test {
protected:
  void startFake(FakeGalleryOptions options) {
    fake_ = std::make_unique<FakeGallery>(std::move(options));
    ASSERT_TRUE(fake_->start());
    WriteFileText(cookieFile(), fake_->validCookie() + "\n");
    fs::create_directories(work());
  }
  fs::path out() const { return tmp_.path() / "out"; }
  fs::path work() const { return tmp_.path() / "run"; }
  fs::path cookieFile() const { return tmp_.path() / "cookie.txt"; }

  std::vector<std::string> args(std::vector<std::string> extra = {}) const {
    std::vector<std::string> all{"--cookie-file", cookieFile().string(), "--out",         out().string(),
                                 "--service",     fake_->baseUrl(),     "--retry-base-ms", "1",
                                 "--retry-cap-ms", "5",                  "--timeout",      "5"};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
  CliRun run(std::vector<std::string> extra = {}, const std::string& input = {}) {
    CliRun result = RunCli(work(), args(std::move(extra)), input);
    EXPECT_FALSE(AppearsAnywhere(fake_->validCookie(), out(), {result.out, result.err}))
        << "the cookie leaked into the output or the export folder";
    return result;
  }

  std::size_t requestsOf(RequestKind kind) const {
    std::size_t n = 0;
    for (const auto& r : fake_->requests()) n += r.kind == kind ? 1 : 0;
    return n;
  }

  std::map<std::string, std::string> recordedPaths() const {
    std::map<std::string, std::string> paths;
    std::string error;
    auto state = cli::ExportState::Open(out(), &error);
    EXPECT_TRUE(state) << error;
    if (state) {
      for (const auto& saved : state->all()) paths[saved.id] = saved.path;
    }
    return paths;
  }

  // Every picture of the fake is recorded and saved byte for byte under a
  // path of its own; nothing else lies in the folder.
  void expectComplete() {
    const auto paths = recordedPaths();
    std::set<std::string> distinct;
    std::set<std::string> ids;
    for (const auto& picture : fake_->pictures()) {
      if (!ids.insert(picture.id).second) continue;
      const auto it = paths.find(picture.id);
      ASSERT_NE(it, paths.end()) << "picture " << picture.id << " not recorded";
      EXPECT_TRUE(distinct.insert(it->second).second) << "two pictures saved as " << it->second;
      const std::string content = ReadFileText(out() / it->second);
      const ByteBuffer expected = fake_->contentOf(picture.id);
      ASSERT_EQ(content.size(), expected.size()) << it->second;
      EXPECT_TRUE(std::equal(content.begin(), content.end(), expected.begin(),
                             [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
          << it->second << " differs from the picture's bytes";
    }
    EXPECT_EQ(paths.size(), ids.size());
    for (const auto& [relative, size] : FilesUnder(out())) {
      EXPECT_FALSE(cli::IsPartFileName(fs::path(relative).filename().string())) << "left behind: " << relative;
      EXPECT_TRUE(IsOwnFile(relative) || distinct.count(relative) == 1) << "stray file " << relative;
    }
  }

  TempDir tmp_;
  std::unique_ptr<FakeGallery> fake_;
};

TEST_F(ExportTest, FullExportIsCompleteSafeAndARerunFetchesNothing) {
  FakeGalleryOptions options;
  options.seed = 7;
  options.picturesOfDay = {95, 4, 0, 7};  // one day needs four pages; one is empty
  options.unsafeNames = true;             // "../x.jpg", "a/b.jpg", "", control characters, duplicates
  startFake(options);

  const CliRun first = run({"--json"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find("\"listed\":106,\"saved\":106,\"alreadyThere\":0,\"failed\":0"), std::string::npos)
      << first.out;
  expectComplete();
  // Nothing was written beside the export folder (no "../x.jpg" escaped).
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(tmp_.path())) top.insert(entry.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"cookie.txt", "out", "run"}));
  std::set<std::string> pages;
  for (const auto& r : fake_->requests()) {
    if (r.kind == RequestKind::Galleries && r.query.find("startDate=20210301") != std::string::npos) {
      pages.insert(r.query.substr(r.query.find("pageNum=")));
    }
  }
  EXPECT_EQ(pages.size(), 4U) << "a day of 95 pictures takes pages 0 to 3";

  fake_->clearRequests();
  const CliRun second = run({"--json"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_NE(second.out.find("\"saved\":0,\"alreadyThere\":106"), std::string::npos) << second.out;
  EXPECT_EQ(requestsOf(RequestKind::Storage), 0U);
  EXPECT_EQ(requestsOf(RequestKind::File), 0U);
  expectComplete();
}

TEST_F(ExportTest, DayLayoutFilesEachPictureUnderItsDay) {
  FakeGalleryOptions options;
  options.picturesOfDay = {3, 2};
  startFake(options);
  const CliRun result = run({"--layout", "day", "--jobs", "3"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  expectComplete();
  const auto paths = recordedPaths();
  for (const auto& picture : fake_->pictures()) {
    EXPECT_EQ(paths.at(picture.id).rfind(cli::DayFolder(picture.day) + "/", 0), 0U) << paths.at(picture.id);
  }
}

TEST_F(ExportTest, FailedPicturesAreNamedAndAHealedRerunFetchesOnlyThem) {
  FakeGalleryOptions options;
  options.picturesOfDay = {6, 6};
  startFake(options);
  const auto& pictures = fake_->pictures();
  const std::string cut = pictures[1].id, noLink = pictures[4].id, badLink = pictures[8].id;
  Fault truncated;
  truncated.truncate = true;
  truncated.onlyId = cut;
  fake_->setFault(RequestKind::File, truncated);
  Fault withoutUrl;
  withoutUrl.noUrl = true;
  withoutUrl.onlyId = noLink;
  fake_->setFault(RequestKind::Storage, withoutUrl);
  Fault serverError;
  serverError.status = 503;
  serverError.onlyId = badLink;
  fake_->setFault(RequestKind::Wrapped, serverError);
  Fault onceDown;  // the listing gets over one failing page
  onceDown.status = 500;
  onceDown.remaining = 1;
  fake_->setFault(RequestKind::Galleries, onceDown);

  const CliRun failed = run({"--retries", "2", "--json"});
  EXPECT_EQ(failed.exitCode, 1) << failed.err;
  EXPECT_NE(failed.out.find("\"listed\":12,\"saved\":9,\"alreadyThere\":0,\"failed\":3"), std::string::npos)
      << failed.out;
  const std::string failures = ReadFileText(out() / "lumbrin-export-failures.txt");
  for (const std::string& id : {cut, noLink, badLink}) {
    EXPECT_EQ(CountOf(failed.out, "\"id\":\"" + id + "\""), 1U) << id;
    EXPECT_EQ(CountOf(failures, id + "\t"), 1U) << failures;
  }
  std::size_t storageOfNoLink = 0;
  for (const auto& r : fake_->requests()) {
    storageOfNoLink += r.kind == RequestKind::Storage && r.query.find("id=" + noLink + "&") != std::string::npos;
  }
  EXPECT_EQ(storageOfNoLink, 1U) << "a picture without a link is not retried";
  const auto saved = recordedPaths();
  EXPECT_EQ(saved.size(), 9U);
  for (const auto& [relative, size] : FilesUnder(out())) {
    if (IsOwnFile(relative)) continue;
    EXPECT_GT(size, 0) << relative;
    EXPECT_FALSE(cli::IsPartFileName(fs::path(relative).filename().string())) << relative;
  }

  fake_->clearFaults();
  fake_->clearRequests();
  const CliRun healed = run();
  ASSERT_EQ(healed.exitCode, 0) << healed.err;
  EXPECT_EQ(requestsOf(RequestKind::File), 3U);
  EXPECT_FALSE(fs::exists(out() / "lumbrin-export-failures.txt"));
  const auto all = recordedPaths();
  for (const auto& [id, path] : saved) EXPECT_EQ(all.at(id), path) << "names are kept across runs";
  expectComplete();
}

// Waits until `count` picture files lie in the folder, or ~20 s.
bool WaitForFiles(const fs::path& folder, std::size_t count) {
  for (int i = 0; i < 2000; ++i) {
    std::size_t files = 0;
    for (const auto& [relative, size] : FilesUnder(folder)) {
      files += !IsOwnFile(relative) && !cli::IsPartFileName(fs::path(relative).filename().string());
    }
    if (files >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(ExportTest, KilledMidRunLeavesOnlyWholeFilesAndTheNextRunCompletes) {
  FakeGalleryOptions options;
  options.picturesOfDay = {12, 12};
  options.minSize = 1 << 20;
  options.maxSize = 2 << 20;
  options.latencyMs = 40;
  startFake(options);
  {
    CliProcess export_(work(), args({"--jobs", "3", "--quiet"}));
    ASSERT_TRUE(WaitForFiles(out(), 3));
    export_.signal(SIGKILL);
    EXPECT_EQ(export_.wait().exitCode, 128 + SIGKILL);
  }
  // Whatever lies under a final name is the whole picture.
  const CliRun listed = run({"--list-only", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::size_t checked = 0;
  for (const auto& picture : fake_->pictures()) {
    const auto key = "\"id\":\"" + picture.id + "\",\"fileName\":\"";
    const auto pos = listed.out.find(key);
    ASSERT_NE(pos, std::string::npos);
    const std::string path = listed.out.substr(pos + key.size(), listed.out.find('"', pos + key.size()) - pos - key.size());
    if (!fs::exists(out() / path)) continue;
    const ByteBuffer expected = fake_->contentOf(picture.id);
    const std::string content = ReadFileText(out() / path);
    EXPECT_TRUE(content.size() == expected.size() && std::equal(content.begin(), content.end(), expected.begin(),
                                                                [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
        << path << " is not the whole picture";
    ++checked;
  }
  EXPECT_GE(checked, 3U);
  EXPECT_LT(checked, fake_->pictures().size()) << "the kill came too late to test anything";

  fake_->setLatencyMs(0);
  const CliRun rerun = run({"--quiet"});
  ASSERT_EQ(rerun.exitCode, 0) << rerun.err;
  expectComplete();
}

TEST_F(ExportTest, InterruptStopsInFlightWorkAndWritesTheSummary) {
  FakeGalleryOptions options;
  options.picturesOfDay = {15, 15};
  options.latencyMs = 60;
  startFake(options);
  CliProcess export_(work(), args({"--jobs", "2", "--json"}));
  ASSERT_TRUE(WaitForFiles(out(), 2));
  export_.signal(SIGINT);
  const CliRun stopped = export_.wait(30000);
  EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
  EXPECT_NE(stopped.out.find("\"interrupted\":true"), std::string::npos) << stopped.out;
  EXPECT_EQ(stopped.out.find("\"failed\":0"), stopped.out.find("\"failed\":")) << "a stop is no failure";
  for (const auto& [relative, size] : FilesUnder(out())) {
    EXPECT_FALSE(cli::IsPartFileName(fs::path(relative).filename().string())) << relative;
  }
  EXPECT_LT(recordedPaths().size(), 30U);

  fake_->setLatencyMs(0);
  const CliRun rerun = run();
  ASSERT_EQ(rerun.exitCode, 0) << rerun.err;
  expectComplete();
}

TEST_F(ExportTest, MissingOrRejectedCookieEndsBeforeAnythingIsWritten) {
  startFake({});
  struct Case {
    std::string cookieText;
    bool fileExists;
    bool requestExpected;
  };
  for (const Case& c : {Case{"session=wrong-one\n", true, true}, Case{"\r\n\n", true, false},
                        Case{"", false, false}}) {
    SCOPED_TRACE(c.cookieText);
    fake_->clearRequests();
    fs::remove(cookieFile());
    if (c.fileExists) WriteFileText(cookieFile(), c.cookieText);
    const CliRun result = run();
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_FALSE(result.err.empty());
    EXPECT_FALSE(fs::exists(out())) << "nothing may be written for a refused session";
    EXPECT_EQ(!fake_->requests().empty(), c.requestExpected);
    EXPECT_EQ(result.err.find("wrong-one"), std::string::npos) << "the cookie is never printed";
  }
}

TEST_F(ExportTest, UnusableOrBusyFolderExitsWithFour) {
  FakeGalleryOptions options;
  options.picturesOfDay = {2};
  startFake(options);
  fs::create_directories(out());
  const int fd = ::open((out() / cli::kLockFileName).c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const CliRun busy = run();
  ::close(fd);
  EXPECT_EQ(busy.exitCode, 4) << busy.err;
  EXPECT_NE(busy.err.find("another export"), std::string::npos) << busy.err;
  EXPECT_EQ(requestsOf(RequestKind::File), 0U);

  fs::remove_all(out());
  WriteFileText(out(), "not a folder");
  EXPECT_EQ(run().exitCode, 4);
}

TEST_F(ExportTest, BadUsageExitsWithTwoAndNeverEchoesValues) {
  startFake({});
  const std::string cookie = cookieFile().string(), folder = out().string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--out", folder},
      {"--cookie-file", cookie},
      {"--cookie-file", cookie, "--out", folder, "--jobs", "0"},
      {"--cookie-file", cookie, "--out", folder, "--jobs", "ten"},
      {"--cookie-file", cookie, "--out", folder, "--retries", "-1"},
      {"--cookie-file", cookie, "--out", folder, "--layout", "diagonal"},
      {"--cookie-file", cookie, "--out", folder, "--bogus"},
      {"--cookie-file", cookie, "--out", folder, "--cookie=s3cret-value"},
      {"--cookie-file", cookie, "--out", folder, "s3cret-value"},
      {"--cookie-file", cookie, "--out"},
  };
  for (const auto& c : cases) {
    const CliRun result = RunCli(work(), c);
    EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(c) << result.err;
    EXPECT_EQ(result.err.find("s3cret"), std::string::npos) << result.err;
  }
  EXPECT_TRUE(fake_->requests().empty());
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(ExportTest, ListOnlyPrintsThePicturesAndWritesNothing) {
  FakeGalleryOptions options;
  options.picturesOfDay = {31, 2};
  options.unsafeNames = true;
  startFake(options);
  const CliRun listed = run({"--list-only"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(CountOf(listed.out, "\n"), 33U);
  for (const auto& picture : fake_->pictures()) {
    EXPECT_NE(listed.out.find(picture.day + "\t" + picture.id + "\t"), std::string::npos) << picture.id;
  }
  // One field per tab, one picture per line, whatever the names hold.
  std::size_t start = 0;
  while (start < listed.out.size()) {
    const auto end = listed.out.find('\n', start);
    EXPECT_EQ(CountOf(listed.out.substr(start, end - start), "\t"), 3U);
    start = end + 1;
  }
  EXPECT_EQ(requestsOf(RequestKind::Storage) + requestsOf(RequestKind::File), 0U);
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(ExportTest, CookieFromStandardInputJoinsItsLines) {
  FakeGalleryOptions options;
  options.picturesOfDay = {2};
  startFake(options);
  std::vector<std::string> all = args();
  all[1] = "-";
  const CliRun result = RunCli(work(), all, "theme=dark\r\n" + fake_->validCookie() + "\r\n\r\n");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  bool sawStorage = false;
  for (const auto& r : fake_->requests()) {
    if (r.kind != RequestKind::Storage) continue;
    sawStorage = true;
    EXPECT_EQ(r.header("Cookie"), "theme=dark; " + fake_->validCookie());
  }
  EXPECT_TRUE(sawStorage);
  expectComplete();
}

}  // namespace
}  // namespace lumbrin::test
