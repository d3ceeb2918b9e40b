// Every fault of the service, under every way of downloading: the window's
// one worker, its ten workers, and lumbrin-export as a real process. Whatever
// the fault, the run ends within its time-outs, every listed picture is
// reported exactly once, saved pictures are byte for byte on disk, failed ones
// leave nothing, and the exporter's next run completes what is missing.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "fake_gallery.h"
#include "support/temp_dir.h"

namespace lumbrin::e2e {
namespace {

using fake::Fault;
using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::FakePicture;
using fake::RequestKind;

constexpr int kPictures = 12;
constexpr int kHits = 3;  // requests each fault spoils

enum class Shape { Plain, OneHugeFile, HugeTimeline };

struct FaultCase {
  const char* name;
  RequestKind kind;
  Fault fault;
  int failures;        // pictures the fault must make fail (all others saved)
  int timeoutSeconds;  // of every request
  Shape shape = Shape::Plain;
};

// A fault spoiling the first kHits requests of its kind.
template <class Set>
Fault Hits(Set set) {
  Fault fault;
  set(fault);
  fault.remaining = kHits;
  return fault;
}

const FaultCase kCases[] = {
    {"StorageWithoutUrl", RequestKind::Storage, Hits([](Fault& f) { f.noUrl = true; }), kHits, 10},
    {"StorageBrokenJson", RequestKind::Storage, Hits([](Fault& f) { f.malformed = true; }), kHits, 10},
    {"StorageTruncated", RequestKind::Storage, Hits([](Fault& f) { f.truncate = true; }), kHits, 10},
    {"StorageStalled", RequestKind::Storage, Hits([](Fault& f) { f.stallMs = 5000; }), kHits, 2},
    {"Link404", RequestKind::Wrapped, Hits([](Fault& f) { f.status = 404; }), kHits, 10},
    {"Link500", RequestKind::Wrapped, Hits([](Fault& f) { f.status = 500; }), kHits, 10},
    {"LinkWrongCallback", RequestKind::Wrapped, Hits([](Fault& f) { f.malformed = true; }), kHits, 10},
    {"LinkWithoutUrl", RequestKind::Wrapped, Hits([](Fault& f) { f.noUrl = true; }), kHits, 10},
    {"Post403Html", RequestKind::File, Hits([](Fault& f) { f.status = 403; f.htmlPage = true; }), kHits, 10},
    {"Post500Html", RequestKind::File, Hits([](Fault& f) { f.status = 500; f.htmlPage = true; }), kHits, 10},
    {"FileTruncated", RequestKind::File, Hits([](Fault& f) { f.truncate = true; }), kHits, 10},
    {"FileStalledPastTimeout", RequestKind::File, Hits([](Fault& f) { f.stallMs = 5000; }), kHits, 2},
    {"FileResetMidBody", RequestKind::File, Hits([](Fault& f) { f.resetMidBody = true; }), kHits, 10},
    {"FileThousandTimesLarger", RequestKind::Other, {}, 0, 10, Shape::OneHugeFile},
    {"TimelineOfTenMegabytes", RequestKind::Other, {}, 0, 10, Shape::HugeTimeline},
};

// Twelve small pictures over two days, with the kinds of names the service
// gives (blanks, Chinese, an emoji, a video). In OneHugeFile, one of them is
// a thousand times the usual size.
std::vector<FakePicture> Sample(Shape shape) {
  static const char* const kNames[] = {"IMG_0001.jpg", "照片 0002.jpg", "space name 0003.jpg", "视频0004.mp4",
                                       "\xF0\x9F\x8E\x89party 0005.jpg", "IMG_0006.JPG"};
  std::vector<FakePicture> pictures;
  for (int i = 0; i < kPictures; ++i) {
    FakePicture p;
    p.day = i < kPictures / 2 ? "20210301" : "20210302";
    p.id = "e2e" + std::to_string(1000 + i);
    p.fileName = std::to_string(i) + "-" + kNames[i % 6];
    p.size = 2000 + static_cast<std::uint64_t>(i) * 1500;  // 2 to 18.5 KB
    pictures.push_back(p);
  }
  if (shape == Shape::OneHugeFile) pictures[5].size = 10000 * 1000;
  return pictures;
}

std::vector<Expected> ExpectedOf(const FakeGallery& fake) {
  std::vector<Expected> expected;
  for (const FakePicture& p : fake.pictures()) expected.push_back({p.id, p.fileName, fake.contentOf(p.id)});
  return expected;
}

// Ten megabytes of text around the usual day list; no stray digits in it.
std::string HugeTimeline(const std::vector<std::string>& days) {
  std::string text = R"({"code":0,"padding":")";
  text.append(std::size_t{10} << 20, 'x');
  text += R"(","data":{"days":[)";
  for (std::size_t i = 0; i < days.size(); ++i) text += (i ? "," : "") + ("{\"day\":\"" + days[i] + "\"}");
  return text + "]}}";
}

// Names the case in test output instead of its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

using Param = std::tuple<FaultCase, Mode>;

class FaultMatrix : public ::testing::TestWithParam<Param> {};

TEST_P(FaultMatrix, NothingLostNothingHidden) {
  const auto& [fc, mode] = GetParam();
  FakeGalleryOptions options;
  options.explicitPictures = Sample(fc.shape);
  options.cookie = "session=e2e-matrix";
  FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  if (fc.shape == Shape::HugeTimeline) fake.setTimelineOverride(HugeTimeline(fake.dayKeys()));
  if (fc.kind != RequestKind::Other) fake.setFault(fc.kind, fc.fault);
  const std::vector<Expected> pictures = ExpectedOf(fake);

  test::TempDir dir;
  const fs::path save = dir.path() / "save";
  fs::create_directories(save);
  // Bounds: every request may take its time-out per phase; nothing may hang.
  const std::chrono::milliseconds bound(60000);

  RunReport report;
  if (mode == Mode::Export) {
    const std::vector<std::string> args = {"--retries", "0", "--timeout", std::to_string(fc.timeoutSeconds),
                                           "--jobs", "4"};
    ExportRun run = RunExporter(dir.path(), save, fake.baseUrl(), fake.validCookie(), args, pictures, bound);
    report = run.report;
    EXPECT_EQ(report.exitCode, fc.failures > 0 ? 1 : 0) << report.logText;
    const int saved = ExpectConsistent(report, pictures, save, true);
    EXPECT_EQ(saved, kPictures - fc.failures) << report.logText;

    // The failures file names exactly the pictures that failed.
    const std::string failures = ReadAll(save / "lumbrin-export-failures.txt");
    for (const Expected& p : pictures) {
      const bool failed = report.byId[p.id].failed > 0;
      EXPECT_EQ(failures.find(p.id + "\t") != std::string::npos, failed) << p.id;
    }

    // Once the service behaves, the next run fetches exactly what is missing.
    fake.clearFaults();
    ExportRun again = RunExporter(dir.path(), save, fake.baseUrl(), fake.validCookie(), args, pictures, bound);
    EXPECT_EQ(again.report.exitCode, 0) << again.report.logText;
    EXPECT_EQ(again.alreadyThere, saved);
    EXPECT_EQ(again.saved, kPictures - saved);
    EXPECT_EQ(ExpectConsistent(again.report, pictures, save, true), kPictures);
    EXPECT_FALSE(fs::exists(save / "lumbrin-export-failures.txt"));
  } else {
    ServiceSettings service;
    service.baseUrl = fake.baseUrl();
    service.timeoutSeconds = fc.timeoutSeconds;
    WindowRun window(service, save);
    ASSERT_TRUE(window.list(fake.validCookie(), bound)) << "the listing did not end";
    EXPECT_TRUE(window.takeMessages().empty()) << "the listing must end silently";
    report = window.download(mode, pictures, bound);
    const int saved = ExpectConsistent(report, pictures, save, false);
    EXPECT_EQ(saved, kPictures - fc.failures) << report.logText;
  }
}

std::string CaseName(const ::testing::TestParamInfo<Param>& info) {
  return std::string(std::get<0>(info.param).name) + "_" + ModeName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Mode::WindowSingle, Mode::WindowTen, Mode::Export)),
                         CaseName);

}  // namespace
}  // namespace lumbrin::e2e
