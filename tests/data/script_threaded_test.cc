#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "data/json_object.h"
#include "data/regex_matcher.h"

namespace lumbrin {
namespace {

// Each worker owns its objects; nothing is shared between threads.
TEST(ScriptThreadedTest, ObjectsOnSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < 20; ++i) {
        JsonObject json;
        const std::string id = std::to_string(t * 100 + i);
        RegexMatcher regex;
        if (regex.execute("20[\\d]{6}", "x20200720y" + id) && regex.matchText(1) == "20200720" &&
            json.parse(R"({"data":{"galleries":[{"id":")" + id + R"("}]}})") &&
            json.getObject("data.galleries")->count() == 1 && json.getText("data.galleries[0].id") == id) {
          ++good[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, (std::vector<int>{20, 20, 20, 20}));
}

}  // namespace
}  // namespace lumbrin
