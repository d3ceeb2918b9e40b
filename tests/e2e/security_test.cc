// What an attacker, a curious user or a broken service must never get: the
// cookie in any output, file or process listing; a connection to a server
// the client does not trust; a file outside the save folder; a worker held
// for ever by a script in an answer.

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "cli/cli_harness.h"
#include "data/script_engine.h"
#include "e2e/e2e_support.h"
#include "fake_gallery.h"
#include "http/raw_server.h"
#include "support/temp_dir.h"

namespace lumbrin::e2e {
namespace {

using fake::Fault;
using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::FakePicture;
using fake::RequestKind;

constexpr auto kBound = std::chrono::milliseconds(60000);
const Mode kAllModes[] = {Mode::WindowSingle, Mode::WindowTen, Mode::Export};

// HTML error pages for the next `count` requests of a kind.
Fault ServerErrors(int count) {
  Fault fault;
  fault.status = 500;
  fault.htmlPage = true;
  fault.remaining = count;
  return fault;
}

std::vector<Expected> ExpectedOf(const FakeGallery& fake) {
  std::vector<Expected> expected;
  for (const FakePicture& p : fake.pictures()) expected.push_back({p.id, p.fileName, fake.contentOf(p.id)});
  return expected;
}

// Runs a listing and a download in `mode` over `service`; returns the report
// (for the exporter with --retries 0, so faults show as failures).
RunReport RunMode(Mode mode, const ServiceSettings& service, const std::string& cookie, const fs::path& save,
                  const fs::path& work, const std::vector<Expected>& pictures,
                  const std::vector<std::string>& extraArgs = {}) {
  if (mode == Mode::Export) {
    std::vector<std::string> args = {"--retries", "0", "--jobs", "4"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return RunExporter(work, save, service.baseUrl, cookie, args, pictures, kBound).report;
  }
  WindowRun window(service, save);
  RunReport listing;
  if (!window.list(cookie, kBound)) {
    listing.problem = "the listing did not end";
    return listing;
  }
  return window.download(mode, pictures, kBound);
}

// ---------------------------------------------------------------------------
// The cookie stays secret.

TEST(Secrets, CookieNeverInOutputFilesOrProcessListing) {
  FakeGalleryOptions options;
  options.days = 2;
  options.picturesPerDay = 6;
  options.minSize = 2000;
  options.maxSize = 8000;
  options.cookie = "SESSDATA=e2e-SECRET-5f0c9a; token=e2e-TOKEN-77d1";
  FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  fake.setLatencyMs(20);  // long enough to look at the running exporter
  fake.setFault(RequestKind::File, ServerErrors(2));
  const std::vector<std::string> secrets = {"e2e-SECRET-5f0c9a", "e2e-TOKEN-77d1"};

  // The exporter: sampled while it runs, then everything it wrote.
  test::TempDir work;
  test::TempDir out;
  test::WriteFileText(work.path() / "cookie.txt", fake.validCookie() + "\n");
  {
    test::CliProcess process(work.path(), {"--cookie-file", (work.path() / "cookie.txt").string(), "--out",
                                           out.path().string(), "--service", fake.baseUrl(), "--retries", "0",
                                           "--jobs", "2", "--progress-interval-ms", "20"});
    int samples = 0;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (process.running() && std::chrono::steady_clock::now() < deadline) {
      const fs::path proc = "/proc/" + std::to_string(process.pid());
      for (const char* file : {"cmdline", "environ"}) {
        const std::string text = ReadAll(proc / file);
        for (const std::string& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << file;
      }
      ++samples;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const test::CliRun run = process.wait(1000);
    EXPECT_EQ(run.exitCode, 1) << run.err;  // two pictures failed
    EXPECT_GT(samples, 3) << "the exporter ended before it could be looked at";
    EXPECT_TRUE(fs::exists(out.path() / "lumbrin-export-failures.txt"));
    for (const std::string& secret : secrets) {
      EXPECT_FALSE(test::AppearsAnywhere(secret, out.path(), {run.out, run.err})) << "exporter output or files";
    }
  }

  // The window: log box and message boxes.
  test::TempDir save;
  ServiceSettings service;
  service.baseUrl = fake.baseUrl();
  fake.setFault(RequestKind::File, ServerErrors(2));
  WindowRun window(service, save.path());
  ASSERT_TRUE(window.list(fake.validCookie(), kBound));
  const RunReport report = window.download(Mode::WindowSingle, ExpectedOf(fake), kBound);
  EXPECT_TRUE(report.finished) << report.problem;
  const std::string shown = window.logText();
  EXPECT_NE(shown.find("下载失败"), std::string::npos) << "the run should have logged failures";
  for (const std::string& secret : secrets) {
    EXPECT_EQ(shown.find(secret), std::string::npos) << "log box";
    EXPECT_FALSE(test::AppearsAnywhere(secret, save.path(), {})) << "save folder";
  }
}

// ---------------------------------------------------------------------------
// A certificate the client does not trust is refused by default.

TEST(Tls, UntrustedCertificateIsRefusedUnlessItsCaIsGiven) {
  FakeGalleryOptions options;
  options.https = true;
  options.days = 1;
  options.picturesPerDay = 3;
  options.maxSize = 4000;
  FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  const std::vector<Expected> pictures = ExpectedOf(fake);

  test::TempDir work;
  test::TempDir out;
  const fs::path folder = out.path() / "export";
  const ExportRun refused = RunExporter(work.path(), folder, fake.baseUrl(), fake.validCookie(),
                                        {"--retries", "0"}, pictures, kBound);
  EXPECT_NE(refused.report.exitCode, 0);
  EXPECT_NE(refused.report.logText.find("certificate"), std::string::npos)
      << "the error must say that the certificate was not trusted: " << refused.report.logText;
  EXPECT_TRUE(FilesUnder(out.path()).empty()) << "nothing is written before the service is trusted";

  // The same service with its CA given: the refusal was about trust alone.
  const ExportRun trusted = RunExporter(work.path(), folder, fake.baseUrl(), fake.validCookie(),
                                        {"--ca-file", fake.caFile()}, pictures, kBound);
  EXPECT_EQ(trusted.report.exitCode, 0) << trusted.report.logText;
  EXPECT_EQ(trusted.saved, 3);

  ServiceSettings service;
  service.baseUrl = fake.baseUrl();
  test::TempDir save;
  {
    WindowRun window(service, save.path());
    ASSERT_TRUE(window.list(fake.validCookie(), kBound));
    EXPECT_EQ(window.rows(), 0);
    EXPECT_EQ(window.takeMessages(), std::vector<std::string>{"获取失败,请重新抓包获取cookie"});
  }
  service.caFile = fake.caFile();
  WindowRun window(service, save.path());
  ASSERT_TRUE(window.list(fake.validCookie(), kBound));
  EXPECT_EQ(window.rows(), 3);
}

// ---------------------------------------------------------------------------
// Whatever the names, nothing is written outside the save folder.

class Containment : public ::testing::TestWithParam<Mode> {};

TEST_P(Containment, HostileNamesStayInsideTheSaveFolder) {
  test::TempDir parent;
  const fs::path save = parent.path() / "save";
  const fs::path sibling = parent.path() / "sibling";
  fs::create_directories(save);
  fs::create_directories(sibling);
  test::WriteFileText(sibling / "x.jpg", "keep");

  const std::vector<std::string> names = {
      "../x.jpg", "../sibling/x.jpg", "../../escaped.jpg", "a/b.jpg", "..\\y.jpg", "", ".", "..", ".hidden.jpg",
      (parent.path() / "absolute.jpg").string(), "ctl\x01\x1f name.jpg", "line\r\nbreak.jpg", "dup.jpg", "dup.jpg",
      std::string(300, 'n') + ".jpg", "lumbrin-export-failures.txt", ".lumbrin-export.sqlite", "x.jpg.part"};
  FakeGalleryOptions options;
  for (std::size_t i = 0; i < names.size(); ++i) {
    options.explicitPictures.push_back(
        {"20210301", "h" + std::to_string(i), names[i], "", 1000 + i * 100, "image/jpeg"});
  }
  FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  test::TempDir work;
  ServiceSettings service;
  service.baseUrl = fake.baseUrl();
  const RunReport report = RunMode(GetParam(), service, fake.validCookie(), save, work.path(), {});
  EXPECT_TRUE(report.finished) << report.problem;
  if (GetParam() == Mode::Export) {
    EXPECT_EQ(report.exitCode, 0) << report.logText;
  }

  // Outside the save folder: only what the test put there.
  std::set<std::string> outside;
  for (const std::string& relative : FilesUnder(parent.path())) {
    if (!relative.starts_with("save/")) outside.insert(relative);
  }
  EXPECT_EQ(outside, std::set<std::string>{"sibling/x.jpg"});
  EXPECT_EQ(ReadAll(sibling / "x.jpg"), "keep");

  // Inside: one plain, visible file per picture, each holding its picture.
  std::map<std::string, std::string> byContent;
  for (const FakePicture& p : fake.pictures()) {
    const ByteBuffer content = fake.contentOf(p.id);
    byContent[std::string(content.begin(), content.end())] = p.id;
  }
  std::set<std::string> found;
  for (const std::string& name : FilesUnder(save)) {
    if (GetParam() == Mode::Export && (name == ".lumbrin-export.lock" || name.starts_with(".lumbrin-export.sqlite")))
      continue;
    EXPECT_EQ(name.find('/'), std::string::npos) << name;
    EXPECT_FALSE(name.starts_with(".")) << name;
    EXPECT_LE(name.size(), 255u) << name;
    for (const char c : name) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << name;
    const auto it = byContent.find(ReadAll(save / name));
    ASSERT_NE(it, byContent.end()) << name << " holds no picture";
    EXPECT_TRUE(found.insert(it->second).second) << "picture saved twice: " << it->second;
  }
  EXPECT_EQ(found.size(), names.size()) << "every picture is saved, under a safe name";
}

INSTANTIATE_TEST_SUITE_P(Modes, Containment, ::testing::ValuesIn(kAllModes),
                         [](const auto& p) { return std::string(ModeName(p.param)); });

// ---------------------------------------------------------------------------
// A picture named like the exporter's own failures file is kept.

TEST(ExporterFiles, PictureNamedLikeTheFailuresFileSurvivesEveryRun) {
  FakeGalleryOptions options;
  options.explicitPictures = {{"20210301", "p1", "lumbrin-export-failures.txt", "", 3000, "image/jpeg"},
                              {"20210301", "p2", "other.jpg", "", 2000, "image/jpeg"}};
  FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  test::TempDir work;
  test::TempDir out;

  const auto pictureFiles = [&] {
    std::set<std::string> contents;
    for (const std::string& name : FilesUnder(out.path())) contents.insert(ReadAll(out.path() / name));
    return contents;
  };
  const ByteBuffer first = fake.contentOf("p1");
  const std::string p1(first.begin(), first.end());

  // A clean run (which removes any failures file), then one with a failure
  // (which writes it): the picture is on disk after both.
  ExportRun clean = RunExporter(work.path(), out.path(), fake.baseUrl(), fake.validCookie(), {}, {}, kBound);
  EXPECT_EQ(clean.report.exitCode, 0) << clean.report.logText;
  EXPECT_EQ(pictureFiles().count(p1), 1u) << "the picture was deleted as a stale failures file";

  test::TempDir second;
  Fault refuse;
  refuse.status = 500;
  refuse.onlyId = "p2";
  fake.setFault(RequestKind::File, refuse);
  ExportRun failing =
      RunExporter(work.path(), second.path(), fake.baseUrl(), fake.validCookie(), {"--retries", "0"}, {}, kBound);
  EXPECT_EQ(failing.report.exitCode, 1) << failing.report.logText;
  std::set<std::string> contents;
  for (const std::string& name : FilesUnder(second.path())) contents.insert(ReadAll(second.path() / name));
  EXPECT_EQ(contents.count(p1), 1u) << "the picture was overwritten by the failures list";
  EXPECT_NE(ReadAll(second.path() / "lumbrin-export-failures.txt").find("p2\t"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A script in the wrapped answer that never ends, or never stops
// allocating, costs one failed picture within the engine's time limit.

// A tiny service on loopback whose link answers are scripts: ids "ok*" get a
// proper answer, the others the hostile script named by kHostile.
class HostileService {
public:
  HostileService()
      : server_([this](int fd, const test::RawRequest& request, const std::atomic<bool>&) { answer(fd, request); }) {}

  [[nodiscard]] std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(server_.port()); }
  [[nodiscard]] static std::vector<std::string> ids() { return {"ok1", "loop", "grow", "recurse", "ok2"}; }
  [[nodiscard]] static std::string contentOf(const std::string& id) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) bytes += id + ":" + std::to_string(i) + ";";
    return bytes;
  }

private:
  static std::string Param(const std::string& target, const std::string& name) {
    const std::size_t at = target.find(name + "=");
    if (at == std::string::npos) return {};
    const std::size_t start = at + name.size() + 1;
    return target.substr(start, target.find_first_of("& ", start) - start);
  }

  void answer(int fd, const test::RawRequest& request) {
    const std::string line = request.requestLine();
    const std::string json = "Content-Type: application/json\r\n";
    std::string reply;
    if (line.find("/gallery/user/timeline") != std::string::npos) {
      reply = test::RawServer::Answer(200, json, R"({"data":{"days":[{"day":"20210301"}]}})");
    } else if (line.find("/gallery/user/galleries") != std::string::npos) {
      std::string list;
      if (Param(line, "pageNum") == "0") {
        for (const std::string& id : ids()) {
          list += (list.empty() ? "" : ",") + ("{\"id\":\"" + id + "\",\"fileName\":\"" + id +
                                               ".jpg\",\"bigThumbnailInfo\":{\"data\":\"t\"}}");
        }
      }
      reply = test::RawServer::Answer(200, json, R"({"data":{"galleries":[)" + list + "]}}");
    } else if (line.find("/gallery/storage") != std::string::npos) {
      const std::string link = baseUrl() + "/dl?a=1&b=2&c=3&callback=dl_img_cb_x&id=" + Param(line, "id");
      reply = test::RawServer::Answer(200, json, R"({"data":{"url":")" + link + "\"}}");
    } else if (line.find("/dl?") != std::string::npos) {
      const std::string id = Param(line, "id");
      std::string script;
      if (id == "loop") {
        script = "dl_img_cb_x(function(){while(1){}}())";
      } else if (id == "grow") {
        script = "dl_img_cb_x(function(){var a=[];for(;;){a.push(new Array(100000).join('x'))}}())";
      } else if (id == "recurse") {
        script = "dl_img_cb_x(function f(){return f()}())";
      } else {
        script = "dl_img_cb_x({\"url\":\"" + baseUrl() + "/file/" + id + "\",\"meta\":\"m\"})";
      }
      reply = test::RawServer::Answer(200, "Content-Type: application/javascript\r\n", script);
    } else if (line.rfind("POST /file/", 0) == 0) {
      const std::string id = line.substr(11, line.find(' ', 11) - 11);
      reply = test::RawServer::Answer(200, "Content-Type: image/jpeg\r\n", contentOf(id));
    } else {
      reply = test::RawServer::Answer(404, "", "");
    }
    (void)test::RawServer::SendAll(fd, reply);
  }

  test::RawServer server_;
};

class HostileScripts : public ::testing::TestWithParam<Mode> {};

TEST_P(HostileScripts, EndAsFailedPicturesWithinTheTimeLimit) {
  // In-process runs get short engine bounds; the exporter keeps its own.
  const ScopedScriptLimits limits({std::chrono::milliseconds(500), std::size_t{64} << 20});
  HostileService service;
  std::vector<Expected> pictures;
  for (const std::string& id : HostileService::ids()) {
    const std::string content = HostileService::contentOf(id);
    pictures.push_back({id, id + ".jpg", ByteBuffer(content.begin(), content.end())});
  }
  test::TempDir save;
  test::TempDir work;
  ServiceSettings settings;
  settings.baseUrl = service.baseUrl();
  const auto started = std::chrono::steady_clock::now();
  const RunReport report = RunMode(GetParam(), settings, "c=1", save.path(), work.path(), pictures);
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);

  EXPECT_EQ(ExpectConsistent(report, pictures, save.path(), GetParam() == Mode::Export), 2) << report.logText;
  for (const char* id : {"loop", "grow", "recurse"}) {
    const auto it = report.byId.find(id);
    EXPECT_TRUE(it != report.byId.end() && it->second.failed == 1) << id;
  }
  // Three scripts at the time limit each (3 s in the exporter), plus slack
  // for a loaded machine; without the bound the run would never end.
  EXPECT_LT(took.count(), 45) << "the hostile scripts held the run for " << took.count() << " s";
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileScripts, ::testing::ValuesIn(kAllModes),
                         [](const auto& p) { return std::string(ModeName(p.param)); });

}  // namespace
}  // namespace lumbrin::e2e
