// The exporter's own pieces, in-process: name planning over recorded names,
// cookie text, backoff, part-file clean-up and escaping of untrusted text.

#include <gtest/gtest.h>

#include <set>

#include "cli/cli_harness.h"
#include "cli/cookie_input.h"
#include "cli/export_folder.h"
#include "cli/name_plan.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/retry.h"
#include "support/temp_dir.h"

namespace lumbrin::test {
namespace {

using cli::Layout;
using cli::NameRequest;
using cli::SavedPicture;

TEST(NamePlan, RecordedNamesWinAndNewNamesNeverTakeThem) {
  const std::vector<NameRequest> list = {
      {"a", "IMG.jpg", "20210301"}, {"b", "IMG.jpg", "20210301"}, {"c", "../IMG.jpg", "20210302"},
      {"d", "", "20210302"}, {"e", "lumbrin-export-failures.txt", "20210302"}};
  const auto fresh = cli::PlanPaths(list, {}, Layout::Flat);
  EXPECT_EQ(fresh, cli::PlanPaths(list, {}, Layout::Flat)) << "names are stable run to run";
  EXPECT_EQ(std::set<std::string>(fresh.begin(), fresh.end()).size(), list.size());
  EXPECT_EQ(fresh[0], "IMG.jpg");
  EXPECT_NE(fresh[4], cli::kFailuresFileName) << "the failures list would overwrite the picture";
  for (const std::string& path : fresh) EXPECT_TRUE(cli::IsExportPath(path)) << path;

  // An earlier run saved "b" as IMG.jpg (say "a" was not listed then): "b"
  // keeps it, and "a" must not overwrite that file.
  std::unordered_map<std::string, SavedPicture> recorded;
  recorded["b"] = {"b", "IMG.jpg", 10, "20210301", "IMG.jpg"};
  recorded["gone"] = {"gone", "IMG_a.jpg", 10, "20210301", "IMG.jpg"};  // no longer listed, file kept
  recorded["evil"] = {"evil", "../../etc/passwd", 10, "20210301", "x"};  // a tampered record is ignored
  const auto kept = cli::PlanPaths(list, recorded, Layout::Flat);
  EXPECT_EQ(kept[1], "IMG.jpg");
  EXPECT_NE(kept[0], "IMG.jpg");
  EXPECT_NE(kept[0], "IMG_a.jpg");
  EXPECT_EQ(std::set<std::string>(kept.begin(), kept.end()).size(), list.size());

  const auto byDay = cli::PlanPaths(list, {}, Layout::Day);
  EXPECT_EQ(byDay[0], "2021/03/01/IMG.jpg");
  EXPECT_EQ(byDay[2].rfind("2021/03/02/", 0), 0U);
  EXPECT_TRUE(cli::IsExportPath(byDay[3])) << byDay[3];
  for (const char* bad : {"../x.jpg", "/etc/passwd", "2021/03/01/../x", "a/b.jpg", "", ".hidden"}) {
    EXPECT_FALSE(cli::IsExportPath(bad)) << bad;
  }
}

TEST(CookieInput, LineBreaksSeparatePairsAndTrailingOnesGo) {
  const std::pair<std::string, std::string> cases[] = {
      {"a=1\n", "a=1"},
      {"a=1\r\n\r\n", "a=1"},
      {"\xEF\xBB\xBF" "a=1; b=2\r\n", "a=1; b=2"},
      {"a=1\nb=2\n", "a=1; b=2"},
      {"a=1;\r\n  b=2 \n\n c=3", "a=1; b=2; c=3"},
      {"\n\r\n", ""},
  };
  for (const auto& [raw, expected] : cases) EXPECT_EQ(cli::CookieFromText(raw), expected) << raw;

  TempDir dir;
  WriteFileText(dir.path() / "big", std::string(cli::kMaxCookieBytes + 1, 'x'));
  std::istringstream none;
  EXPECT_FALSE(cli::ReadCookie((dir.path() / "big").string(), none)) << "an over-long cookie is refused";
  EXPECT_FALSE(cli::ReadCookie((dir.path() / "missing").string(), none));
  std::istringstream in("s=1\n");
  EXPECT_EQ(cli::ReadCookie("-", in), "s=1");
}

TEST(Retry, BackoffDoublesUpToTheCapWithJitterInItsUpperHalf) {
  const cli::RetryPolicy policy{5, 500, 10000};
  for (std::uint64_t draw : {0ULL, 1ULL, 123456789ULL, ~0ULL}) {
    const std::pair<int, int> bounds[] = {{1, 500}, {2, 1000}, {3, 2000}, {5, 8000}, {6, 10000}, {40, 10000}};
    for (const auto& [retry, full] : bounds) {
      const auto delay = cli::BackoffDelay(policy, retry, draw).count();
      EXPECT_GE(delay, full / 2) << retry;
      EXPECT_LE(delay, full) << retry;
    }
  }
  EXPECT_EQ(cli::BackoffDelay({3, 0, 0}, 4, 99).count(), 0);

  CancelToken token;
  token.cancel();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(cli::WaitOrCancel(std::chrono::seconds(30), token));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ExportFolder, StalePartFilesGoAndNothingElse) {
  TempDir dir;
  const auto root = dir.path();
  std::filesystem::create_directories(root / "2021/03/01");
  std::filesystem::create_directories(root / "notes");
  const char* parts[] = {".IMG.jpg.0123456789abcdef.part", "2021/03/01/.x.fedcba9876543210.part"};
  const char* kept[] = {"IMG.jpg", ".IMG.jpg.part", "notes/.x.0123456789abcdef.part", ".x.0123456789ABCDEF.part",
                        "2021/03/01/keep.part"};
  for (const char* name : parts) WriteFileText(root / name, "partial");
  for (const char* name : kept) WriteFileText(root / name, "mine");
  EXPECT_EQ(cli::RemoveStaleParts(root), 2U);
  for (const char* name : parts) EXPECT_FALSE(std::filesystem::exists(root / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(std::filesystem::exists(root / name)) << name;
}

TEST(Report, UntrustedTextCannotBreakLinesFieldsOrTheTerminal) {
  EXPECT_EQ(cli::Printable("a\tb\nc\x1b[2J"), "a\tb\\nc\\x1B[2J");
  EXPECT_EQ(cli::Printable("a\tb\\c", true), "a\\tb\\\\c");
  EXPECT_EQ(cli::JsonString("q\"b\\\n\x01é"), "\"q\\\"b\\\\\\n\\u0001é\"");
  std::ostringstream line;
  cli::WriteListLine(line, {"20210301", "id\t1", "a\nb.jpg", "http://t"}, false);
  EXPECT_EQ(line.str(), "20210301\tid\\t1\ta\\nb.jpg\thttp://t\n");
}

TEST(Options, ValuesDefaultsAndTheServiceAddress) {
  const auto parsed = cli::ParseOptions(
      {"--cookie-file=-", "--out", "o", "--jobs", "32", "--layout=day", "--service", "http://h:1/", "--json"},
      "https://default.invalid");
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->jobs, 32);
  EXPECT_EQ(parsed.options->layout, Layout::Day);
  EXPECT_EQ(parsed.options->serviceUrl, "http://h:1");
  EXPECT_EQ(parsed.options->retries, 3);
  const auto defaults = cli::ParseOptions({"--cookie-file", "c", "--out", "o"}, "https://default.invalid");
  ASSERT_TRUE(defaults.options);
  EXPECT_EQ(defaults.options->serviceUrl, "https://default.invalid");
  EXPECT_EQ(defaults.options->jobs, 10);
  EXPECT_FALSE(cli::ParseOptions({"--cookie-file", "c", "--out", "o", "--service", "file:///etc"}, "").options);
}

}  // namespace
}  // namespace lumbrin::test
