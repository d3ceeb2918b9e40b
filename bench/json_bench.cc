// The cost of reading one day page of the listing: a fresh JsonObject, the
// parse of a 30-picture answer (about 20 KB), getObject("data.galleries") and
// its count, and the three getText reads per picture.
#include <benchmark/benchmark.h>

#include <string>

#include "data/json_object.h"
#include "data/regex_matcher.h"
#include "http/charset.h"

namespace {

using lumbrin::JsonObject;
using lumbrin::LocalText;

LocalText DayAnswer(int pictures) {
  std::string json = R"({"code":0,"msg":"ok","data":{"pageNum":1,"pageSize":30,"total":)" +
                     std::to_string(pictures) + R"(,"galleries":[)";
  for (int i = 0; i < pictures; ++i) {
    if (i > 0) json += ",";
    const std::string id = std::to_string(880000000000 + i);
    json += R"({"id":")" + id + R"(","fileName":"IMG_20200720_)" + std::to_string(100000 + i) +
            R"(_相册.jpg","size":)" + std::to_string(1000000 + i * 37) +
            R"(,"width":4032,"height":3024,"createTime":1595246400000,"updateTime":1595246400000,)"
            R"("md5":"9e107d9d372bb6826bd81d3542a419d6","type":1,"albumId":"20200720","deleted":false,)"
            R"("location":{"city":"杭州","lat":30.27,"lng":120.15},)"
            R"("smallThumbnailInfo":{"width":200,"height":150,"data":"https://thumbs.example.invalid/s/)" +
            id + R"(?sign=0123456789abcdef0123456789abcdef&expires=1595250000&w=200&h=150"},)"
            R"("bigThumbnailInfo":{"width":1080,"height":810,"data":"https://thumbs.example.invalid/b/)" +
            id + R"(?sign=fedcba9876543210fedcba9876543210&expires=1595250000&w=1080&h=810"}})";
  }
  json += "]}}";
  return lumbrin::LocalFromUtf8(json);
}

void BM_DayPage(benchmark::State& state) {
  const LocalText answer = DayAnswer(30);
  state.counters["answer_bytes"] = static_cast<double>(answer.size());
  for (auto _ : state) {
    JsonObject json;
    if (!json.parse(answer)) state.SkipWithError("parse failed");
    const int n = json.getObject("data.galleries")->count();
    std::size_t total = 0;
    for (int i = 0; i < n; ++i) {
      const std::string at = "data.galleries[" + std::to_string(i) + "]";
      total += json.getText(at + ".bigThumbnailInfo.data").size();
      total += json.getText(at + ".fileName").size();
      total += json.getText(at + ".id").size();
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_DayPage)->Unit(benchmark::kMillisecond);

// The parts of a day page, to see where its time goes.
void BM_FreshObjectAndParse(benchmark::State& state) {
  const LocalText answer = DayAnswer(30);
  for (auto _ : state) {
    JsonObject json;
    benchmark::DoNotOptimize(json.parse(answer));
  }
}
BENCHMARK(BM_FreshObjectAndParse)->Unit(benchmark::kMicrosecond);

void BM_GetText(benchmark::State& state) {
  JsonObject json;
  if (!json.parse(DayAnswer(30))) state.SkipWithError("parse failed");
  for (auto _ : state) benchmark::DoNotOptimize(json.getText("data.galleries[7].fileName"));
}
BENCHMARK(BM_GetText)->Unit(benchmark::kMicrosecond);

// The timeline: day keys found in a 10 MB answer.
void BM_TimelineDays(benchmark::State& state) {
  std::string timeline;
  for (int day = 0; timeline.size() < 10u * 1024 * 1024; ++day) {
    timeline += R"({"day":"20)" + std::to_string(100000 + day % 900000) + R"(","count":12,"cover":"x"},)";
  }
  int matches = 0;
  for (auto _ : state) {
    lumbrin::RegexMatcher regex;
    regex.execute("20[\\d]{6}", timeline);
    matches = regex.matchCount();
  }
  state.counters["matches"] = matches;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * timeline.size()));
}
BENCHMARK(BM_TimelineDays)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
