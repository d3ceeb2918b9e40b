// The commands of the buttons, the tray and the menu, with injected workers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTimer>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>

#include "app/window_fixture.h"
#include "http/web_request.h"
#include "threads/pumping_wait.h"
#include "threads/thread_start.h"

namespace lumbrin::test {
namespace {

using namespace std::chrono_literals;

bool WaitFinished(const ThreadHandle& h) {
  return h && WaitFor([&] { return h->finished(); });
}

// Each command's effect on (runState, downloadMode, nextRow, activeWorkers)
// and the thread it starts, from a state where every field differs from
// what a command could set.
TEST_F(WindowTest, EveryCommandChangesTheSharedStateAsItsTableRowSays) {
  std::atomic<int> listings{0}, dispatchers{0};
  std::atomic<std::int32_t> modeSeenByDispatcher{0}, runStateSeenByDispatcher{0};
  workers.listing = [&](Host&) { ++listings; };
  workers.dispatcher = [&](Host& h) {
    modeSeenByDispatcher = h.state().downloadMode.load();
    runStateSeenByDispatcher = h.state().runState.load();
    ++dispatchers;
  };
  open();
  window->addRow({"1", "u", "a.jpg"});

  struct Row {
    const char* button;
    std::int32_t runState, downloadMode, nextRow;
    const char* started;  // "listing", "dispatcher" or ""
  };
  // Before each command: runState 2, downloadMode 2, nextRow 3, activeWorkers 4.
  const Row rows[] = {
      {"按钮2", 2, 1, 3, "dispatcher"},  // 下载图片: the stop stays in force
      {"按钮6", 1, 1, 3, "dispatcher"},  // 单线程下载
      {"按钮7", 1, 2, 3, "dispatcher"},  // 多线程下载
      {"按钮4", 2, 2, 3, ""},            // 停止下载: the counters keep their true values
      {"按钮1", 2, 2, 0, "listing"},     // 获取所有图片: a new list is downloaded from row 0
      {"按钮3", 2, 2, 3, ""},            // 暂停获取
      {"按钮5", 2, 2, 3, ""},            // 暂无功能待添加: nothing
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.button);
    SharedState& s = window->state();
    s.runState = 2;
    s.downloadMode = 2;
    s.nextRow = 3;
    s.activeWorkers = 4;
    const ThreadHandle listingBefore = window->listingThread();
    const ThreadHandle dispatcherBefore = window->dispatcherThread();
    const int listingsBefore = listings, dispatchersBefore = dispatchers;
    click(row.button);
    EXPECT_EQ(s.runState.load(), row.runState);
    EXPECT_EQ(s.downloadMode.load(), row.downloadMode);
    EXPECT_EQ(s.nextRow.load(), row.nextRow);
    EXPECT_EQ(s.activeWorkers.load(), 4);
    const std::string started = row.started;
    EXPECT_EQ(window->listingThread() != listingBefore, started == "listing");
    EXPECT_EQ(window->dispatcherThread() != dispatcherBefore, started == "dispatcher");
    if (started == "listing") {
      ASSERT_TRUE(WaitFinished(window->listingThread()));
      EXPECT_EQ(window->rows(), 0);  // the list was emptied first
    }
    if (started == "dispatcher") {
      ASSERT_TRUE(WaitFinished(window->dispatcherThread()));
      // The dispatcher starts after the mode and stop flag are set.
      EXPECT_EQ(modeSeenByDispatcher.load(), row.downloadMode);
      EXPECT_EQ(runStateSeenByDispatcher.load(), row.runState);
    }
    EXPECT_EQ(listings - listingsBefore, started == "listing" ? 1 : 0);
    EXPECT_EQ(dispatchers - dispatchersBefore, started == "dispatcher" ? 1 : 0);
  }
}

TEST_F(WindowTest, StopBeforeAnyDownloadOnlySetsRunState) {
  open();
  click("按钮4");
  EXPECT_EQ(window->state().runState.load(), 2);
  EXPECT_EQ(window->state().downloadMode.load(), 1);
  EXPECT_EQ(window->state().nextRow.load(), 0);
  EXPECT_EQ(window->state().activeWorkers.load(), 0);
  EXPECT_FALSE(window->dispatcherThread());
  click("按钮3");  // no listing ever started: no effect
  EXPECT_FALSE(window->listingThread());
}

// A listing that has added rows and then waits in a request (here a
// cancellable wait of a minute, standing for a request in flight).
TEST_F(WindowTest, PauseEndsABlockedListingAtOnceAndNoRowFollows) {
  std::promise<void> blocked;
  auto blockedFuture = blocked.get_future();
  std::atomic<int> rowAfterPause{0};
  std::atomic<bool> logRefused{false}, cookieRefused{false};
  workers.listing = [&](Host& h) {
    h.appendRow({"1", "u1", "a.jpg"});
    h.appendRow({"2", "u2", "b.jpg"});
    blocked.set_value();
    PumpingWait(1, 2);
    rowAfterPause = h.appendRow({"3", "u3", "c.jpg"});
    h.appendLog("late\r\n");
    logRefused = true;
    cookieRefused = h.cookieText().empty() && h.rowCount() == 0 && h.cellText(0, 0).empty();
  };
  open();
  control<QPlainTextEdit>("输入cookie框")->setPlainText(Ui("a=1"));
  click("按钮1");
  ASSERT_TRUE(WaitFor([&] { return blockedFuture.wait_for(0s) == std::future_status::ready; }));
  ASSERT_TRUE(WaitFor([&] { return window->rows() == 2; }));
  const ThreadHandle listing = window->listingThread();
  click("按钮3");
  EXPECT_TRUE(listing->isEnded());
  ASSERT_TRUE(WaitFinished(listing));  // well before the minute
  QApplication::processEvents();
  EXPECT_EQ(rowAfterPause.load(), -1);
  EXPECT_EQ(window->rows(), 2);
  EXPECT_TRUE(logRefused.load());
  EXPECT_TRUE(cookieRefused.load());
  EXPECT_TRUE(control<QPlainTextEdit>("编辑框1")->toPlainText().isEmpty());
}

// The same with a real request in flight, to a local server that accepts
// the connection and never answers: the pause aborts it.
TEST_F(WindowTest, PauseAbortsTheListingsRequestInFlight) {
  struct Socket {
    int fd;
    ~Socket() {
      if (fd >= 0) ::close(fd);
    }
  } listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  const int server = listener.fd;
  ASSERT_GE(server, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server, 4), 0);
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/gallery/user/timeline";

  std::atomic<bool> sending{false}, cancelled{false};
  std::atomic<int> rowAfter{0};
  workers.listing = [&](Host& h) {
    h.appendRow({"1", "u", "a.jpg"});
    WebResponseInfo info;
    WebRequestParams params;
    params.url = url;
    params.timeoutSeconds = 120;
    params.info = &info;
    sending = true;
    (void)WebRequest(params);
    cancelled = info.cancelled;
    rowAfter = h.appendRow({"2", "u", "b.jpg"});
  };
  open();
  click("按钮1");
  ASSERT_TRUE(WaitFor([&] { return sending.load() && window->rows() == 1; }));
  QTest::qWait(100);  // the request is on its way
  const ThreadHandle listing = window->listingThread();
  click("按钮3");
  ASSERT_TRUE(WaitFinished(listing));
  EXPECT_TRUE(cancelled.load());
  EXPECT_EQ(rowAfter.load(), -1);
  EXPECT_EQ(window->rows(), 1);
}

// A dispatcher that, like the ten-worker run, takes rows and starts one
// picture thread per pass, but ignores runState: only the freeze stops it.
TEST_F(WindowTest, StopDuringTenWorkerRunStartsNoWorkerAfterItReturns) {
  std::atomic<bool> stopReturned{false};
  std::atomic<int> startsAfterStop{0}, handedOut{0}, workersRunning{0}, workersDone{0}, successfulStarts{0};
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  workers.dispatcher = [&](Host& h) {
    SharedState& s = h.state();
    for (;;) {
      const int n = h.rowCount();
      if (s.nextRow.load() >= n) return;
      if (s.activeWorkers.load() < 10) {
        const int row = s.nextRow++;
        ++s.activeWorkers;
        ++handedOut;
        const LocalText id = h.cellText(row, 0);
        const bool afterStop = stopReturned.load();
        ThreadHandle t = StartThreadWithArgs(
            [&, gate](std::span<const ThreadArg>) {
              ++workersRunning;
              gate.wait();
              --s.activeWorkers;
              ++workersDone;
              return 0;
            },
            std::nullopt, nullptr, id);
        if (!t) {
          --s.activeWorkers;
          return;
        }
        ++successfulStarts;
        if (afterStop) ++startsAfterStop;
      }
      PumpingWait(5);
    }
  };
  open();
  for (int i = 0; i < 25; ++i) window->addRow({std::to_string(i), "u", std::to_string(i) + ".jpg"});
  click("按钮7");
  ASSERT_TRUE(WaitFor([&] { return workersRunning.load() >= 5; }));
  click("按钮4");
  stopReturned = true;
  const ThreadHandle dispatcher = window->dispatcherThread();
  EXPECT_TRUE(dispatcher->isFrozen());
  ASSERT_TRUE(WaitFinished(dispatcher));
  EXPECT_EQ(startsAfterStop.load(), 0);
  ASSERT_TRUE(WaitFor([&] { return workersRunning.load() == successfulStarts.load(); }));
  SharedState& s = window->state();
  EXPECT_EQ(s.runState.load(), 2);
  EXPECT_LT(successfulStarts.load(), 25);
  // The counters keep their true values: rows handed out, downloads in progress.
  EXPECT_EQ(s.nextRow.load(), handedOut.load());
  EXPECT_EQ(s.activeWorkers.load(), successfulStarts.load());
  release.set_value();
  ASSERT_TRUE(WaitFor([&] { return workersDone.load() == successfulStarts.load(); }));
  EXPECT_EQ(s.activeWorkers.load(), 0);
}

// "获取所有图片" while a listing runs: the list is emptied and a second
// listing starts; the first keeps adding rows; "暂停获取" ends the second only.
TEST_F(WindowTest, TwoListingsAtOncePauseEndsOnlyTheNewest) {
  std::atomic<int> generation{0};
  workers.listing = [&](Host& h) {
    const std::string tag = "L" + std::to_string(++generation) + "-";
    for (int i = 0; h.appendRow({tag + std::to_string(i), "", ""}) >= 0; ++i) PumpingWait(5);
  };
  open();
  auto countRows = [&](const char* tag) {
    int count = 0;
    for (int r = 0; r < window->rows(); ++r) count += window->cell(r, 0).rfind(tag, 0) == 0 ? 1 : 0;
    return count;
  };
  click("按钮1");
  ASSERT_TRUE(WaitFor([&] { return countRows("L1-") >= 2; }));
  const ThreadHandle first = window->listingThread();
  click("按钮1");
  EXPECT_EQ(countRows("L1-"), 0);  // emptied
  const ThreadHandle second = window->listingThread();
  ASSERT_NE(first, second);
  ASSERT_TRUE(WaitFor([&] { return countRows("L2-") >= 2 && countRows("L1-") >= 2; }));
  click("按钮3");
  EXPECT_TRUE(second->isEnded());
  EXPECT_FALSE(first->isEnded());
  ASSERT_TRUE(WaitFinished(second));
  QApplication::processEvents();
  const int secondRows = countRows("L2-");
  const int firstRows = countRows("L1-");
  ASSERT_TRUE(WaitFor([&] { return countRows("L1-") >= firstRows + 2; }));
  EXPECT_EQ(countRows("L2-"), secondRows);
  first->end();
  ASSERT_TRUE(WaitFinished(first));
}

TEST_F(WindowTest, TrayRightClickPopsTheMenuUpNextToTheCursorClicksDoNothing) {
  open();
  window->show();
  QCursor::setPos(200, 150);
  const QPoint cursor = QCursor::pos();
  window->handleTrayActivation(QSystemTrayIcon::Trigger);
  window->handleTrayActivation(QSystemTrayIcon::DoubleClick);
  EXPECT_FALSE(window->softwareMenu()->isVisible());
  window->handleTrayActivation(QSystemTrayIcon::Context);
  ASSERT_TRUE(WaitFor([&] { return window->softwareMenu()->isVisible(); }));
  EXPECT_EQ(window->softwareMenu()->pos(), cursor + QPoint(3, 3));
  window->softwareMenu()->hide();
}

TEST_F(WindowTest, OpenSaveFolderOpensTheFolderActuallyUsed) {
  open();
  window->softwareMenu()->actions()[0]->trigger();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(folder.path().string())));
}

TEST_F(WindowTest, SuggestionShowsItsTextInAModalBox) {
  open();
  window->show();
  QString text, title;
  int buttons = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    text = box->text();
    title = box->windowTitle();
    buttons = static_cast<int>(box->buttons().size());
    box->done(QMessageBox::Ok);
  });
  window->softwareMenu()->actions()[1]->trigger();  // returns once the box is dismissed
  EXPECT_EQ(title, Ui("信息："));
  EXPECT_EQ(text, Ui("软件并不完善 多线程软件下载后自动结束 暂时没有找到办法 单线程比较稳一点\n"
                     "如果有建议 欢迎在帖子下方留言"));
  EXPECT_EQ(buttons, 1);
}

TEST_F(WindowTest, MinimiseHidesWithATrayAndMinimisesWithout) {
  for (const bool tray : {true, false}) {
    SCOPED_TRACE(tray);
    trayAvailable = tray;
    open();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->softwareMenu()->actions()[2]->trigger();
    QApplication::processEvents();
    EXPECT_EQ(window->isVisible(), !tray);
    if (!tray) {
      EXPECT_TRUE(window->isMinimized());
    }
    window.reset();
  }
}

// Closing while a listing waits on a message box and a download runs: the
// command ends the workers and releases the one waiting for the GUI thread.
TEST_F(WindowTest, CloseEndsTheWorkersAndReleasesOneWaitingOnABox) {
  std::atomic<bool> boxReturned{false};
  workers.listing = [&](Host& h) {
    h.showMessage(L("必须要有cookie才能获取"));
    boxReturned = true;
  };
  workers.dispatcher = [](Host&) { PumpingWait(1, 2); };
  trayAvailable = true;
  open();
  window->show();
  QSignalSpy closedSpy(window.get(), &MainWindow::closed);
  click("按钮1");
  click("按钮6");
  ASSERT_TRUE(WaitFor([] { return !OpenMessageBoxes().isEmpty(); }));
  window->softwareMenu()->actions()[2]->trigger();  // hidden first: "关闭" still ends it
  window->softwareMenu()->actions()[3]->trigger();
  EXPECT_EQ(closedSpy.count(), 1);
  EXPECT_TRUE(window->listingThread()->isEnded());
  EXPECT_TRUE(window->dispatcherThread()->isFrozen());
  ASSERT_TRUE(WaitFinished(window->listingThread()));
  ASSERT_TRUE(WaitFinished(window->dispatcherThread()));
  EXPECT_TRUE(boxReturned.load());
}

}  // namespace
}  // namespace lumbrin::test
