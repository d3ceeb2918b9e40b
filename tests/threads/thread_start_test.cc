#include "threads/thread_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "threads/pumping_wait.h"

namespace lumbrin {
namespace {

using namespace std::chrono_literals;

// What a routine saw of its arguments, captured on the new thread.
struct Seen {
  std::mutex mutex;
  std::vector<ThreadArg> args;
  bool ran = false;
};

ThreadArgsRoutine Recorder(Seen& seen) {
  return [&seen](std::span<const ThreadArg> args) {
    std::lock_guard lock(seen.mutex);
    seen.args.assign(args.begin(), args.end());
    seen.ran = true;
    return static_cast<std::int32_t>(args.size());
  };
}

TEST(StartThreadTest, RunsRoutineWithParameterAndReportsExitCode) {
  std::uint32_t id = 0;
  ThreadHandle h = StartThread([](std::int32_t p) { return p * 2; }, 21, &id);
  ASSERT_TRUE(h);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(id, h->id());
  ASSERT_TRUE(h->waitFinished(10s));
  EXPECT_TRUE(h->started());
  EXPECT_EQ(h->exitCode(), 42);
}

TEST(StartThreadTest, ThreadIdsAreDistinctAndNullRoutineGivesNoThread) {
  std::uint32_t a = 0, b = 0;
  auto ha = StartThread([](std::int32_t) { return 0; }, 0, &a);
  auto hb = StartThread([](std::int32_t) { return 0; }, 0, &b);
  ASSERT_TRUE(ha && hb);
  EXPECT_NE(a, b);
  EXPECT_FALSE(StartThread(nullptr, 0));
  EXPECT_FALSE(StartThreadWithArgs(nullptr));
  ASSERT_TRUE(ha->waitFinished(10s) && hb->waitFinished(10s));
}

TEST(StartThreadTest, EscapingExceptionEndsThreadWithZero) {
  auto h = StartThread([](std::int32_t) -> std::int32_t { throw std::runtime_error("boom"); }, 0);
  ASSERT_TRUE(h);
  ASSERT_TRUE(h->waitFinished(10s));
  EXPECT_EQ(h->exitCode(), 0);
}

// The routine works on its own copies: the caller's texts are gone (and their
// storage reused) before the routine reads them.
TEST(StartThreadWithArgsTest, CopiesOutliveCallersTexts) {
  Seen seen;
  std::promise<void> go;
  auto gate = go.get_future().share();
  ThreadHandle h;
  {
    auto id = std::make_unique<LocalText>("12345678901234567890-id");
    auto name = std::make_unique<LocalText>(std::string("\xCD\xBC\xC6\xAC.jpg"));  // "图片.jpg" in GB18030
    h = StartThreadWithArgs(
        [&seen, gate](std::span<const ThreadArg> args) {
          gate.wait();
          return Recorder(seen)(args);
        },
        std::nullopt, nullptr, *id, *name);
    ASSERT_TRUE(h);
    id->assign(id->size(), 'X');
    name->assign(name->size(), 'Y');
  }
  std::vector<std::string> junk(64, std::string(32, 'Z'));  // reuse the freed storage
  go.set_value();
  ASSERT_TRUE(h->waitFinished(10s));
  std::lock_guard lock(seen.mutex);
  ASSERT_EQ(seen.args.size(), 2u);
  EXPECT_EQ(std::get<LocalText>(seen.args[0]), "12345678901234567890-id");
  EXPECT_EQ(std::get<LocalText>(seen.args[1]), "\xCD\xBC\xC6\xAC.jpg");
}

TEST(StartThreadWithArgsTest, ArgumentListShapes) {
  const ByteBuffer withZeros{0, 1, 0, 0xFF, 0};
  struct Case {
    const char* what;
    std::function<ThreadHandle(ThreadArgsRoutine)> start;
    std::vector<ThreadArg> expected;
  };
  const std::vector<Case> cases = {
      {"no argument", [](ThreadArgsRoutine r) { return StartThreadWithArgs(std::move(r)); }, {}},
      {"first and third but not second: only the first",
       [](ThreadArgsRoutine r) {
         return StartThreadWithArgs(std::move(r), std::nullopt, nullptr, LocalText("one"), std::nullopt,
                                    LocalText("three"));
       },
       {LocalText("one")}},
      {"empty text is an empty copy",
       [](ThreadArgsRoutine r) { return StartThreadWithArgs(std::move(r), false, nullptr, LocalText()); },
       {LocalText()}},
      {"missing C text is an empty text",
       [](ThreadArgsRoutine r) { return StartThreadWithArgs(std::move(r), false, nullptr, TextArg(nullptr)); },
       {LocalText()}},
      {"byte buffer keeps its zero bytes and its kind",
       [&](ThreadArgsRoutine r) {
         return StartThreadWithArgs(std::move(r), false, nullptr, withZeros, LocalText("t"), ByteBuffer{});
       },
       {withZeros, LocalText("t"), ByteBuffer{}}},
      {"ten arguments",
       [](ThreadArgsRoutine r) {
         return StartThreadWithArgs(std::move(r), false, nullptr, TextArg("1"), TextArg("2"), TextArg("3"),
                                    TextArg("4"), TextArg("5"), TextArg("6"), TextArg("7"), TextArg("8"),
                                    TextArg("9"), TextArg("10"));
       },
       {LocalText("1"), LocalText("2"), LocalText("3"), LocalText("4"), LocalText("5"), LocalText("6"),
        LocalText("7"), LocalText("8"), LocalText("9"), LocalText("10")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Seen seen;
    ThreadHandle h = c.start(Recorder(seen));
    ASSERT_TRUE(h);
    ASSERT_TRUE(h->waitFinished(10s));
    EXPECT_EQ(h->exitCode(), static_cast<std::int32_t>(c.expected.size()));
    std::lock_guard lock(seen.mutex);
    EXPECT_TRUE(seen.ran);
    EXPECT_EQ(seen.args, c.expected);
  }
}

TEST(StartThreadWithArgsTest, SuspendedStartRunsOnlyWhenResumed) {
  Seen seen;
  std::uint32_t id = 0;
  ThreadHandle h = StartThreadWithArgs(Recorder(seen), true, &id, LocalText("held"));
  ASSERT_TRUE(h);
  EXPECT_EQ(id, h->id());
  EXPECT_FALSE(h->waitFinished(100ms));
  EXPECT_FALSE(h->started());
  {
    std::lock_guard lock(seen.mutex);
    EXPECT_FALSE(seen.ran);
  }
  h->resume();
  ASSERT_TRUE(h->waitFinished(10s));
  std::lock_guard lock(seen.mutex);
  EXPECT_TRUE(seen.ran);
  EXPECT_EQ(seen.args, std::vector<ThreadArg>{LocalText("held")});
}

TEST(StartThreadWithArgsTest, SuspendedThreadThatIsEndedNeverRuns) {
  Seen seen;
  ThreadHandle h = StartThreadWithArgs(Recorder(seen), true, nullptr, LocalText("x"));
  ASSERT_TRUE(h);
  h->end();
  ASSERT_TRUE(h->waitFinished(10s));
  h->resume();  // too late: no effect
  EXPECT_FALSE(h->started());
  std::lock_guard lock(seen.mutex);
  EXPECT_FALSE(seen.ran);
}

TEST(ThreadControlTest, EndCancelsTheTokenSeenInside) {
  std::promise<CancelToken*> inside;
  auto insideToken = inside.get_future();
  ThreadHandle h = StartThread(
      [&inside](std::int32_t) {
        CancelToken* token = CurrentCancelToken();
        inside.set_value(token);
        // A cancellable pause: ends early when the thread is ended.
        PumpingWait(1, 2);
        return token != nullptr && token->cancelled() ? 1 : 0;
      },
      0);
  ASSERT_TRUE(h);
  CancelToken* seenToken = insideToken.get();
  EXPECT_EQ(seenToken, &h->token());
  EXPECT_FALSE(h->isEnded());
  h->end();
  EXPECT_TRUE(h->isEnded());
  EXPECT_FALSE(h->isFrozen());
  ASSERT_TRUE(h->waitFinished(30s));  // far less than the minute it would wait
  EXPECT_EQ(h->exitCode(), 1);
  EXPECT_EQ(CurrentCancelToken(), nullptr);  // the starter's own token is untouched
}

// Once freeze() has returned, the frozen thread can start nothing more.
TEST(ThreadControlTest, FrozenThreadStartsNoFurtherThread) {
  std::promise<void> frozen, firstDone;
  auto frozenFuture = frozen.get_future();
  auto firstDoneFuture = firstDone.get_future();
  std::atomic<int> childrenRun{0};
  std::atomic<bool> firstStarted{false}, laterStarted{true};
  ThreadHandle parent = StartThread(
      [&](std::int32_t) {
        auto child = [&childrenRun](std::span<const ThreadArg>) { return ++childrenRun; };
        auto first = StartThreadWithArgs(child);
        firstStarted = static_cast<bool>(first);
        if (first) (void)first->waitFinished(10s);
        firstDone.set_value();
        frozenFuture.wait();
        laterStarted = StartThreadWithArgs(child) != nullptr ||
                       StartThread([](std::int32_t) { return 0; }, 0) != nullptr;
        return 0;
      },
      0);
  ASSERT_TRUE(parent);
  firstDoneFuture.wait();
  parent->freeze();
  EXPECT_TRUE(parent->isFrozen());
  EXPECT_TRUE(parent->isEnded());
  frozen.set_value();
  ASSERT_TRUE(parent->waitFinished(10s));
  EXPECT_TRUE(firstStarted.load());
  EXPECT_FALSE(laterStarted.load());
  EXPECT_EQ(childrenRun.load(), 1);
}

TEST(ThreadControlTest, ChildKeepsRunningWhenItsStarterIsEnded) {
  std::promise<ThreadHandle> childHandle;
  auto childFuture = childHandle.get_future();
  std::promise<void> release;
  auto releaseFuture = release.get_future().share();
  ThreadHandle parent = StartThread(
      [&](std::int32_t) {
        childHandle.set_value(StartThread(
            [releaseFuture](std::int32_t) {
              releaseFuture.wait();
              return CurrentCancelToken()->cancelled() ? 0 : 7;
            },
            0));
        return 0;
      },
      0);
  ASSERT_TRUE(parent);
  ThreadHandle child = childFuture.get();
  ASSERT_TRUE(child);
  parent->end();
  release.set_value();
  ASSERT_TRUE(child->waitFinished(10s));
  EXPECT_EQ(child->exitCode(), 7);
  EXPECT_FALSE(child->isEnded());
  ASSERT_TRUE(parent->waitFinished(10s));
}

}  // namespace
}  // namespace lumbrin
