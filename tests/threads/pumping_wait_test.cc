#include "threads/pumping_wait.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "base/cancel.h"

namespace lumbrin {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

TEST(PumpingWaitTest, DurationUnits) {
  struct Case {
    std::int32_t amount;
    std::int64_t unit;
    milliseconds expected;
  };
  const Case cases[] = {
      {50, 0, 50ms},
      {0, 0, 0ms},
      {3, 1, 3000ms},
      {1, 2, 60000ms},
      {2, 3, 7200000ms},
      {5, 7, 35ms},      // any other unit is the multiplier itself
      {4, 250, 1000ms},
      {-5, 0, 0ms},      // a wait into the past ends at once
      {5, -3, 0ms},
      {-2, -3, 6ms},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PumpingWaitDuration(c.amount, c.unit), c.expected) << c.amount << " in unit " << c.unit;
  }
  EXPECT_EQ(PumpingWaitDuration(1), 1ms);
}

TEST(PumpingWaitTest, HugeWaitsAreClampedNotWrapped) {
  constexpr auto kMax32 = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin32 = std::numeric_limits<std::int32_t>::min();
  const auto ceiling = PumpingWaitDuration(kMax32, std::numeric_limits<std::int64_t>::max());
  EXPECT_GT(ceiling, milliseconds(100'000'000'000'000));  // thousands of years
  EXPECT_EQ(PumpingWaitDuration(kMax32, 3), ceiling);
  EXPECT_EQ(PumpingWaitDuration(kMin32, std::numeric_limits<std::int64_t>::min()), ceiling);
  EXPECT_EQ(PumpingWaitDuration(kMax32, std::numeric_limits<std::int64_t>::min()), 0ms);
}

TEST(PumpingWaitTest, WaitsAtLeastTheDuration) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PumpingWait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(PumpingWaitTest, CancelledTokenWakesTheWaitEarly) {
  CancelToken token;
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    token.cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  {
    ScopedCancelToken scope(&token);
    EXPECT_TRUE(PumpingWait(1, 2));  // one minute, unless woken
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  canceller.join();
  // Already cancelled: returns at once.
  ScopedCancelToken scope(&token);
  const auto again = std::chrono::steady_clock::now();
  EXPECT_TRUE(PumpingWait(1, 3));
  EXPECT_LT(std::chrono::steady_clock::now() - again, 30s);
}

class RecordingPump : public EventPump {
public:
  void pumpUntil(std::chrono::steady_clock::time_point deadline) override {
    ++calls;
    last = deadline;
  }
  int calls = 0;
  std::chrono::steady_clock::time_point last{};
};

TEST(PumpingWaitTest, ThreadWithPumpDispatchesUntilTheDeadline) {
  RecordingPump pump;
  SetThreadEventPump(&pump);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(PumpingWait(0));
  EXPECT_TRUE(PumpingWait(2, 1));
  const auto after = std::chrono::steady_clock::now();
  SetThreadEventPump(nullptr);
  EXPECT_EQ(ThreadEventPump(), nullptr);
  EXPECT_EQ(pump.calls, 2);
  EXPECT_GE(pump.last, before + 2s);
  EXPECT_LE(pump.last, after + 2s);
  // The pump is per thread: another thread waits on its own.
  std::thread other([&] { EXPECT_EQ(ThreadEventPump(), nullptr); });
  other.join();
}

}  // namespace
}  // namespace lumbrin
