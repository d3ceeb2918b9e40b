// Link resolution, downloads and the two kinds of run against the fake
// service over real HTTP on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_gallery.h"
#include "gallery/file_names.h"
#include "gallery/link_resolution.h"
#include "gallery/listing.h"
#include "gallery/picture_download.h"
#include "gallery/runs.h"
#include "gallery/service.h"
#include "http/charset.h"
#include "test_host.h"
#include "text_checks.h"
#include "threads/thread_start.h"

namespace lumbrin {
namespace {

namespace fs = std::filesystem;
using fake::Fault;
using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::RequestKind;
using test::QueryValueOf;
using namespace std::chrono_literals;


std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string AsText(const ByteBuffer& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  EXPECT_EQ(start, log.size()) << "log does not end with a line break";
  return lines;
}

std::vector<std::string> PictureLines(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& line : LogLines(log)) {
    if (line.find("- - ") != std::string::npos) out.push_back(line);
  }
  return out;
}

std::string SizeText(std::uint64_t bytes) {
  std::string size = LocalToUtf8(FormatSize(std::to_string(bytes)));
  std::transform(size.begin(), size.end(), size.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  return size;
}

std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

struct Service {
  explicit Service(FakeGalleryOptions options) : fake(std::move(options)) {
    EXPECT_TRUE(fake.start());
    host = std::make_unique<test::TestHost>(fake.baseUrl(), fake.caFile());
    host->setCookie(Utf8ToLocal(fake.validCookie()));
  }
  void list() {
    ListAllPictures(*host);
    ASSERT_EQ(host->rows().size(), fake.pictures().size());
  }
  std::vector<fake::RecordedRequest> requestsOf(RequestKind kind) {
    std::vector<fake::RecordedRequest> out;
    for (auto& r : fake.requests()) {
      if (r.kind == kind) out.push_back(r);
    }
    return out;
  }
  bool allDone(std::size_t pictureLines) {
    return host->waitFor([&] {
      return host->state().activeWorkers.load() == 0 && PictureLines(host->log()).size() == pictureLines;
    });
  }

  FakeGallery fake;
  std::unique_ptr<test::TestHost> host;
};

FakeGalleryOptions Pictures(std::vector<int> perDay) {
  FakeGalleryOptions options;
  options.picturesOfDay = std::move(perDay);
  options.minSize = 1000;
  options.maxSize = 300000;
  return options;
}

TEST(LinkResolution, ThreeRequestsWithTheirOwnCookieRules) {
  FakeGalleryOptions options = Pictures({1});
  options.https = true;  // and the CA file from the service settings is honoured
  Service s(options);
  const fake::FakePicture& picture = s.fake.pictures().at(0);
  s.host->setCookie(Utf8ToLocal(s.fake.validCookie()));

  const FullSizeTarget target = ResolveFullSize(*s.host, Utf8ToLocal(picture.id));
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(AsText(PostForFullSize(*s.host, target.url, target.meta)), AsText(s.fake.contentOf(picture.id)));

  const auto storage = s.requestsOf(RequestKind::Storage);
  const auto wrapped = s.requestsOf(RequestKind::Wrapped);
  const auto file = s.requestsOf(RequestKind::File);
  ASSERT_EQ(storage.size(), 1u);
  ASSERT_EQ(wrapped.size(), 1u);
  ASSERT_EQ(file.size(), 1u);
  const std::string ts = QueryValueOf(storage[0].query, "ts");
  EXPECT_TRUE(test::IsDigits(ts, 13));
  EXPECT_EQ(QueryValueOf(storage[0].query, "id"), picture.id);
  EXPECT_EQ(QueryValueOf(storage[0].query, "callBack"), "dl_img_cb_" + ts + "_1");
  EXPECT_EQ(storage[0].header("Cookie"), s.fake.validCookie());
  EXPECT_EQ(storage[0].header("Referer"), s.fake.baseUrl() + "/gallery/h5");
  EXPECT_EQ(storage[0].header("User-Agent"), kServiceUserAgent);
  EXPECT_FALSE(wrapped[0].hasHeader("Cookie"));
  EXPECT_EQ(wrapped[0].header("Referer"), s.fake.baseUrl() + "/gallery/h5");
  EXPECT_EQ(file[0].method, "POST");
  // The post goes with an empty Cookie header, never the box's cookie (the
  // fake's parser drops empty headers, so only the missing value shows).
  EXPECT_EQ(file[0].header("Cookie"), "");
  EXPECT_EQ(file[0].header("Referer"), s.fake.baseUrl());
  EXPECT_EQ(file[0].header("Origin"), s.fake.baseUrl());
  EXPECT_EQ(file[0].body, "meta=" + LocalToUtf8(target.meta));

  // A cookie pasted meanwhile goes with the next storage request; an id
  // cannot add fields to the storage query.
  s.host->setCookie("session=new");
  (void)RequestStorageLink(*s.host, "5&id=6");
  const auto second = s.requestsOf(RequestKind::Storage).at(1);
  EXPECT_EQ(second.header("Cookie"), "session=new");
  EXPECT_EQ(QueryValueOf(second.query, "id"), "5%26id%3D6");
}

TEST(SingleWorker, SavesEveryPictureByteForByteAndSaysWhere) {
  Service s(Pictures({3, 4}));
  s.list();
  const auto& pictures = s.fake.pictures();
  fs::create_directory(s.host->folder() / "unrelated");

  RunSingleWorker(*s.host);

  const std::vector<std::string> lines = LogLines(s.host->log());
  ASSERT_EQ(lines.size(), 2 + 2 * pictures.size());
  EXPECT_TRUE(test::IsTimedLine(lines[0], " 请稍等 正在启动单线程下载"));
  EXPECT_TRUE(test::IsTimedLine(lines[1], "正在以一个线程下载"));
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const auto& p = pictures[i];
    const std::string& line = lines[2 + 2 * i];
    const std::string tail = "- - " + p.fileName + "大小：" + SizeText(p.size) + " 下载成功！";
    EXPECT_TRUE(test::IsTimeText(line.substr(0, 19))) << line;
    EXPECT_EQ(line.substr(19), tail);
    EXPECT_EQ(lines[3 + 2 * i], "");
    EXPECT_EQ(ReadAll(s.host->folder() / p.fileName), AsText(s.fake.contentOf(p.id))) << p.fileName;
  }
  EXPECT_EQ(FilesIn(s.host->folder()).size(), pictures.size() + 1) << "stray (part) files";
  EXPECT_EQ(s.host->messages(), std::vector<std::string>{"已下载完毕 文件保存在：" + s.host->folder().string()});
  EXPECT_EQ(s.host->state().nextRow.load(), static_cast<int>(pictures.size()));
  EXPECT_EQ(s.host->state().activeWorkers.load(), 0);

  // nextRow stays: a run after a complete one reports completion at once.
  s.fake.clearRequests();
  RunSingleWorker(*s.host);
  EXPECT_EQ(s.host->messages().size(), 2u);
  EXPECT_TRUE(s.fake.requests().empty());
}

TEST(SingleWorker, EmptyListReportsCompletionAtOnce) {
  Service s(Pictures({0}));
  RunSingleWorker(*s.host);
  EXPECT_EQ(LogLines(s.host->log()).size(), 2u);
  EXPECT_EQ(s.host->messages().size(), 1u);
}

TEST(Download, AFailedPictureLogsItsFailureAndLeavesTheDiskAsItWas) {
  struct Case {
    const char* what;
    RequestKind kind;
    Fault fault;
    const char* reason;  // the failure line's reason
  };
  const auto fault = [](auto set) {
    Fault f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"storage without url", RequestKind::Storage, fault([](Fault& f) { f.noUrl = true; }), "（无下载链接）"},
      {"storage 500", RequestKind::Storage, fault([](Fault& f) { f.status = 500; }), "（无下载链接）"},
      {"link 500", RequestKind::Wrapped, fault([](Fault& f) { f.status = 500; }), "（无文件地址）"},
      {"link without url", RequestKind::Wrapped, fault([](Fault& f) { f.noUrl = true; }), "（无文件地址）"},
      {"link wrong callback", RequestKind::Wrapped, fault([](Fault& f) { f.malformed = true; }), "（无文件地址）"},
      {"post 500 html", RequestKind::File, fault([](Fault& f) { f.status = 500; f.htmlPage = true; }),
       "（HTTP 500）"},
      {"post 404", RequestKind::File, fault([](Fault& f) { f.status = 404; }), "（HTTP 404）"},
      {"truncated body", RequestKind::File, fault([](Fault& f) { f.truncate = true; }), nullptr},
      {"reset mid body", RequestKind::File, fault([](Fault& f) { f.resetMidBody = true; }), nullptr},
      {"stall", RequestKind::File, fault([](Fault& f) { f.stallMs = 8000; }), "（超时）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Service s(Pictures({3}));
    if (c.fault.stallMs > 0) s.host->setTimeoutSeconds(3);
    s.list();
    const auto& pictures = s.fake.pictures();
    Fault f = c.fault;
    f.onlyId = pictures[1].id;
    s.fake.setFault(c.kind, f);
    // An older copy of the failing picture must survive untouched.
    std::ofstream(s.host->folder() / pictures[1].fileName) << "old";

    RunSingleWorker(*s.host);

    const std::vector<std::string> lines = PictureLines(s.host->log());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("下载成功！"), std::string::npos) << lines[0];
    const std::string failed = "- - " + pictures[1].fileName + "下载失败";
    ASSERT_EQ(lines[1].substr(19, failed.size()), failed) << lines[1];
    if (c.reason != nullptr) {
      EXPECT_EQ(lines[1].substr(19 + failed.size()), c.reason);
    }
    EXPECT_NE(lines[2].find("下载成功！"), std::string::npos) << lines[2];
    EXPECT_EQ(ReadAll(s.host->folder() / pictures[1].fileName), "old");
    EXPECT_EQ(FilesIn(s.host->folder()),
              (std::set<std::string>{pictures[0].fileName, pictures[1].fileName, pictures[2].fileName}));
  }
}

TEST(Download, AFailedNewPictureWritesNoFile) {
  Service s(Pictures({2}));
  s.list();
  Fault f;
  f.truncate = true;
  s.fake.setFault(RequestKind::File, f);
  RunSingleWorker(*s.host);
  const auto lines = PictureLines(s.host->log());
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_NE(line.find("下载失败"), std::string::npos) << line;
  EXPECT_TRUE(FilesIn(s.host->folder()).empty());
}

TEST(Download, UnsafeAndDuplicateNamesAllLandInsideTheFolderDistinctly) {
  FakeGalleryOptions options = Pictures({40});
  options.unsafeNames = true;
  options.maxSize = 5000;
  Service s(options);
  s.list();

  RunSingleWorker(*s.host);

  EXPECT_EQ(FilesIn(s.host->root()), std::set<std::string>{"save"}) << "written outside the save folder";
  FileNameRegistry registry;
  std::map<std::string, std::string> idOfFile;
  for (const auto& row : s.host->rows()) idOfFile[registry.add(row[0], row[2])] = LocalToUtf8(row[0]);
  std::set<std::string> ids;
  for (const auto& p : s.fake.pictures()) ids.insert(p.id);
  EXPECT_EQ(idOfFile.size(), ids.size());
  EXPECT_EQ(FilesIn(s.host->folder()).size(), ids.size());
  for (const auto& [name, id] : idOfFile) {
    EXPECT_TRUE(fs::is_regular_file(s.host->folder() / name)) << name;
    EXPECT_EQ(ReadAll(s.host->folder() / name), AsText(s.fake.contentOf(id))) << name;
  }
  for (const auto& line : PictureLines(s.host->log())) EXPECT_NE(line.find("下载成功！"), std::string::npos) << line;
}

TEST(Download, DuplicateNamesAreSuffixedByIdTheSameWayOnEveryRun) {
  FakeGalleryOptions options;
  options.explicitPictures = {{"20210301", "101", "IMG_0001.JPG", "", 1500, ""},
                              {"20210301", "102", "IMG_0001.JPG", "", 2500, ""},
                              {"20210301", "103", "", "", 3500, ""}};
  Service s(options);
  s.fake.setTimelineOverride("[20210301,20210301]");  // every picture listed twice
  ListAllPictures(*s.host);
  ASSERT_EQ(s.host->rows().size(), 6u);

  const std::map<std::string, std::string> expected = {
      {"IMG_0001.JPG", AsText(s.fake.contentOf("101"))},
      {"IMG_0001_102.JPG", AsText(s.fake.contentOf("102"))},
      {"picture_103", AsText(s.fake.contentOf("103"))},
  };
  for (int run = 0; run < 2; ++run) {
    s.host->state().nextRow = 0;
    RunSingleWorker(*s.host);
    std::map<std::string, std::string> saved;
    for (const auto& name : FilesIn(s.host->folder())) saved[name] = ReadAll(s.host->folder() / name);
    EXPECT_EQ(saved, expected) << "run " << run;
  }
  EXPECT_EQ(PictureLines(s.host->log()).size(), 12u);
}

TEST(SingleWorker, StopFinishesThePictureInProgressAndTakesNoMore) {
  Service s(Pictures({5}));
  s.list();
  s.fake.setLatencyMs(100);
  std::thread run([&] { RunSingleWorker(*s.host); });
  // The second picture is in progress once its storage request has arrived.
  ASSERT_TRUE(s.host->waitFor([&] { return s.requestsOf(RequestKind::Storage).size() == 2; }));
  s.host->state().runState = 2;
  run.join();

  const auto lines = PictureLines(s.host->log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("下载成功！"), std::string::npos) << lines[1];
  EXPECT_EQ(s.host->state().nextRow.load(), 2);
  EXPECT_TRUE(s.host->messages().empty());
  EXPECT_EQ(FilesIn(s.host->folder()).size(), 2u);
}

TEST(SingleWorker, TwoRunsAtOnceTakeEveryRowExactlyOnce) {
  Service s(Pictures({12, 12}));
  s.list();
  s.fake.setLatencyMs(5);
  std::thread first([&] { RunSingleWorker(*s.host); });
  std::thread second([&] { RunSingleWorker(*s.host); });
  first.join();
  second.join();

  std::multiset<std::string> asked;
  for (const auto& r : s.requestsOf(RequestKind::Storage)) asked.insert(QueryValueOf(r.query, "id"));
  std::multiset<std::string> ids;
  for (const auto& p : s.fake.pictures()) ids.insert(p.id);
  EXPECT_EQ(asked, ids);
  EXPECT_EQ(s.host->state().nextRow.load(), 24);
  EXPECT_EQ(s.host->messages().size(), 2u);
  EXPECT_EQ(FilesIn(s.host->folder()).size(), 24u);
}

TEST(TenWorkers, SaveEveryPictureWithNeverMoreThanTenInFlight) {
  Service s(Pictures({25}));
  s.list();
  s.fake.setLatencyMs(500);  // a picture takes 1.5 s or more: the cap is reached
  s.host->state().downloadMode = 2;

  DownloadDispatcher(*s.host);  // returns once every row is handed out
  EXPECT_EQ(s.host->state().nextRow.load(), 25);
  ASSERT_TRUE(s.allDone(25));

  const auto lines = LogLines(s.host->log());
  EXPECT_TRUE(test::IsTimedLine(lines.at(0), " 请稍等 正在启动现在线程"));
  EXPECT_TRUE(test::IsTimedLine(lines.at(1), "以开启十个线程下载"));
  for (const auto& p : s.fake.pictures()) {
    EXPECT_EQ(ReadAll(s.host->folder() / p.fileName), AsText(s.fake.contentOf(p.id))) << p.fileName;
  }
  EXPECT_EQ(FilesIn(s.host->folder()).size(), 25u);
  EXPECT_EQ(s.host->peakActiveWorkers(), kMaxPictureWorkers);
  EXPECT_TRUE(s.host->messages().empty());
}

TEST(TenWorkers, QuickFailuresFreeTheirSlotsAtOnce) {
  Service s(Pictures({25}));
  s.list();
  Fault f;
  f.noUrl = true;
  s.fake.setFault(RequestKind::Storage, f);
  s.host->state().downloadMode = 2;

  DownloadDispatcher(*s.host);
  ASSERT_TRUE(s.allDone(25));
  for (const auto& line : PictureLines(s.host->log())) EXPECT_NE(line.find("下载失败"), std::string::npos);
  EXPECT_TRUE(FilesIn(s.host->folder()).empty());
}

TEST(TenWorkers, AFrozenDispatcherStartsNothingMoreAndRunningPicturesFinish) {
  Service s(Pictures({25}));
  s.list();
  s.fake.setLatencyMs(200);
  s.host->state().downloadMode = 2;
  test::TestHost& host = *s.host;
  ThreadHandle dispatcher = StartThread(
      [&host](std::int32_t) {
        DownloadDispatcher(host);
        return std::int32_t{0};
      },
      0);
  ASSERT_TRUE(dispatcher);
  ASSERT_TRUE(host.waitFor([&] { return host.state().activeWorkers.load() >= 5; }));

  // What the stop command does in ten-worker mode, but for the slot count,
  // which this test watches.
  host.state().runState = 2;
  dispatcher->freeze();
  const int handedOut = host.state().nextRow.load();
  host.state().nextRow = host.rowCount();
  ASSERT_TRUE(dispatcher->waitFinished(5s));
  ASSERT_TRUE(host.waitFor([&] { return host.state().activeWorkers.load() == 0; }));

  const auto lines = PictureLines(host.log());
  EXPECT_GE(static_cast<int>(lines.size()), handedOut - 1);  // a row taken as the freeze came starts nothing
  EXPECT_LE(static_cast<int>(lines.size()), handedOut);
  EXPECT_LT(handedOut, 25);
  for (const auto& line : lines) EXPECT_NE(line.find("下载成功！"), std::string::npos) << line;
  EXPECT_EQ(s.requestsOf(RequestKind::Storage).size(), lines.size());
  EXPECT_EQ(FilesIn(host.folder()).size(), lines.size());
}

}  // namespace
}  // namespace lumbrin
