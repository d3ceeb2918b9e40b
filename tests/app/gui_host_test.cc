// The host operations as workers and the GUI thread see them.

#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <atomic>
#include <future>

#include "app/gui_call.h"
#include "app/save_folder.h"
#include "app/window_fixture.h"
#include "threads/thread_start.h"

namespace lumbrin::test {
namespace {

using namespace std::chrono_literals;

// Runs `fn` on a started worker thread while the GUI thread keeps
// dispatching, and waits for it.
template <class Fn>
void OnWorker(Fn fn) {
  ThreadHandle h = StartThread(
      [&fn](std::int32_t) {
        fn();
        return 0;
      },
      0);
  ASSERT_TRUE(h);
  ASSERT_TRUE(WaitFor([&] { return h->finished(); }));
}

TEST_F(WindowTest, LogAppendsLandAtTheVeryEndWhereverTheCaretIs) {
  open();
  auto* log = control<QPlainTextEdit>("编辑框1");
  window->host().appendLog(L("一\r\n"));
  log->setPlainText(log->toPlainText() + Ui("用户写的"));
  QTextCursor start = log->textCursor();
  start.movePosition(QTextCursor::Start);
  log->setTextCursor(start);  // the user moved the caret to the top
  window->host().appendLog(L("二\r\n"));
  OnWorker([&] { window->host().appendLog(L("三\r\n")); });
  window->host().appendLog("");
  window->host().appendLog("no break, ");
  window->host().appendLog("then\r\n");
  // Each "\r\n" is one line break; nothing is added or lost.
  EXPECT_EQ(log->toPlainText(), Ui("一\n用户写的二\n三\nno break, then\n"));
}

TEST_F(WindowTest, ListOperationsFromAWorkerAndOutOfRangeCells) {
  open();
  const LocalText name = L("图片 😀.jpg");  // beyond GBK: GB18030 keeps it
  OnWorker([&] {
    Host& h = window->host();
    EXPECT_EQ(h.appendRow({"10", "http://t/1", name}), 0);
    EXPECT_EQ(h.appendRow({"11"}), 1);  // missing cells are empty
    EXPECT_EQ(h.appendRow({"12", "u", "c.jpg", "ignored"}), 2);
    h.setCell(1, kColumnFileName, "b.jpg");
    h.setCell(7, 0, "x");   // no such row: nothing
    h.setCell(0, 3, "x");   // no such column: nothing
    EXPECT_EQ(h.rowCount(), 3);
    EXPECT_EQ(h.cellText(0, kColumnFileName), name);
    EXPECT_EQ(h.cellText(1, kColumnThumbnail), "");
    EXPECT_EQ(h.cellText(1, kColumnFileName), "b.jpg");
    EXPECT_EQ(h.cellText(3, 0), "");
    EXPECT_EQ(h.cellText(-1, 0), "");
    EXPECT_EQ(h.cellText(0, -1), "");
    EXPECT_EQ(h.cellText(0, 3), "");
    const auto rows = h.readRows(1, 5);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<LocalText>{"11", "", "b.jpg"}));
    EXPECT_EQ(rows[1], (std::vector<LocalText>{"12", "u", "c.jpg"}));
    EXPECT_TRUE(h.readRows(3, 2).empty());
    EXPECT_EQ(h.readRows(-4, 5).size(), 1u);
    EXPECT_TRUE(h.readRows(0, -1).empty());
    h.removeAllRows();
    EXPECT_EQ(h.rowCount(), 0);
  });
}

TEST_F(WindowTest, CookieBoxIsReadWholeAsLocalText) {
  open();
  control<QPlainTextEdit>("输入cookie框")->setPlainText(Ui("uid=用户; token=a b\nsecond=2"));
  LocalText seen;
  OnWorker([&] { seen = window->host().cookieText(); });
  EXPECT_EQ(seen, L("uid=用户; token=a b\nsecond=2"));
}

// A worker's box blocks that worker only: the window keeps working, and the
// worker goes on when the box is dismissed.
TEST_F(WindowTest, WorkerMessageBoxBlocksOnlyTheWorker) {
  int clicks = 0;
  open();
  window->show();
  QObject::connect(control<QPushButton>("按钮5"), &QPushButton::clicked, [&] { ++clicks; });
  std::atomic<bool> returned{false};
  ThreadHandle h = StartThread(
      [&](std::int32_t) {
        window->host().showMessage(L("已下载完毕 <b>不是</b>富文本\r\n第二行"));
        returned = true;
        return 0;
      },
      0);
  ASSERT_TRUE(h);
  ASSERT_TRUE(WaitFor([] { return OpenMessageBoxes().size() == 1; }));
  QMessageBox* box = OpenMessageBoxes().front();
  EXPECT_EQ(box->windowTitle(), Ui("信息："));
  EXPECT_EQ(box->text(), Ui("已下载完毕 <b>不是</b>富文本\n第二行"));
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  EXPECT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // The GUI thread is free: its own operations and the buttons work.
  window->host().appendLog("gui\r\n");
  control<QPushButton>("按钮5")->click();
  EXPECT_EQ(clicks, 1);
  QTest::qWait(50);
  EXPECT_FALSE(returned.load());
  EXPECT_FALSE(h->finished());
  box->button(QMessageBox::Ok)->click();
  ASSERT_TRUE(WaitFor([&] { return h->finished(); }));
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(control<QPlainTextEdit>("编辑框1")->toPlainText(), Ui("gui\n"));
}

TEST_F(WindowTest, EndedWorkerWaitingOnABoxIsReleased) {
  open();
  ThreadHandle h = StartThread(
      [&](std::int32_t) {
        window->host().showMessage("box");
        return window->host().appendRow({"late"});
      },
      0);
  ASSERT_TRUE(h);
  ASSERT_TRUE(WaitFor([] { return OpenMessageBoxes().size() == 1; }));
  h->end();
  ASSERT_TRUE(WaitFor([&] { return h->finished(); }));
  EXPECT_EQ(h->exitCode(), -1);
  EXPECT_EQ(window->rows(), 0);
}

TEST_F(WindowTest, HostOutlivesTheWindowAndRefusesEverythingThen) {
  open();
  std::shared_ptr<Host> keep;
  {
    // Workers hold the host the same way: through the routine they were given.
    std::promise<void> go;
    auto goFuture = go.get_future().share();
    std::atomic<int> row{0};
    std::atomic<bool> done{false};
    LocalText cookie = "unset";
    Host* host = &window->host();
    ThreadHandle h = StartThread(
        [&, goFuture, host](std::int32_t) {
          goFuture.wait();
          row = host->appendRow({"x"});
          cookie = host->cookieText();
          host->appendLog("x");
          host->showMessage("gone");  // must not wait: nobody can dismiss it
          done = true;
          return 0;
        },
        0);
    // The window is closed (detaches its host) before the worker asks.
    window->close();
    go.set_value();
    ASSERT_TRUE(WaitFor([&] { return h->finished(); }));
    EXPECT_EQ(row.load(), -1);
    EXPECT_EQ(cookie, "");
    EXPECT_TRUE(done.load());
  }
}

TEST(GuiCallQueueTest, RequestsFromManyWorkersAreAllCarriedOutInOrderPerWorker) {
  auto queue = GuiCallQueue::create();
  GuiCallReceiver receiver(queue);
  constexpr int kWorkers = 8, kCalls = 200;
  std::vector<std::vector<int>> seen(kWorkers);  // written on the GUI thread only
  std::vector<ThreadHandle> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.push_back(StartThread(
        [&, w](std::int32_t) {
          int ok = 0;
          for (int i = 0; i < kCalls; ++i) ok += queue->call([&seen, w, i] { seen[static_cast<std::size_t>(w)].push_back(i); }) ? 1 : 0;
          return ok;
        },
        0));
    ASSERT_TRUE(threads.back());
  }
  for (auto& t : threads) ASSERT_TRUE(WaitFor([&] { return t->finished(); }));
  for (int w = 0; w < kWorkers; ++w) {
    EXPECT_EQ(threads[static_cast<std::size_t>(w)]->exitCode(), kCalls);
    ASSERT_EQ(seen[static_cast<std::size_t>(w)].size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(w)][static_cast<std::size_t>(i)], i);
  }
  queue->close();
  bool ran = false;
  EXPECT_FALSE(queue->call([&] { ran = true; }));  // closed, even on the GUI thread
  EXPECT_FALSE(ran);
}

// A request queued before its thread is ended is never carried out after:
// here the GUI thread is busy (not dispatching) when the thread is ended.
TEST(GuiCallQueueTest, RequestQueuedBeforeTheThreadIsEndedIsRefused) {
  auto queue = GuiCallQueue::create();
  GuiCallReceiver receiver(queue);
  std::atomic<bool> ran{false}, asking{false};
  ThreadHandle h = StartThread(
      [&](std::int32_t) {
        asking = true;
        return queue->call([&] { ran = true; }) ? 1 : 2;
      },
      0);
  ASSERT_TRUE(h);
  while (!asking.load()) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);  // the request is queued by now (or about to be)
  h->end();
  ASSERT_TRUE(WaitFor([&] { return h->finished(); }));
  QApplication::processEvents();
  EXPECT_EQ(h->exitCode(), 2);
  EXPECT_FALSE(ran.load());
}

TEST(SaveFolderTest, ProgramDirectoryWhenWritableElseThePicturesFolder) {
  TempDir program, pictures, home;
  const auto yes = [](const std::filesystem::path&) { return true; };
  const auto no = [](const std::filesystem::path&) { return false; };
  struct Case {
    const char* what;
    std::function<bool(const std::filesystem::path&)> writable;
    std::string picturesDir;
    std::filesystem::path expected;
    bool fallback;
  };
  const Case cases[] = {
      {"writable program directory", yes, pictures.path().string(), program.path(), false},
      {"XDG pictures folder", no, pictures.path().string(), pictures.path() / "Lumbrin", true},
      {"no XDG folder: ~/Pictures", no, "", home.path() / "Pictures" / "Lumbrin", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto choice = ChooseSaveFolder(program.path(), c.picturesDir, home.path().string(), c.writable);
    EXPECT_EQ(choice.folder, c.expected);
    EXPECT_EQ(choice.fallback, c.fallback);
    EXPECT_TRUE(std::filesystem::is_directory(choice.folder));
  }
  EXPECT_TRUE(IsWritableFolder(program.path()));
  EXPECT_FALSE(IsWritableFolder(program.path() / "missing"));
}

TEST_F(WindowTest, UnwritableProgramDirectorySavesElsewhereAndLogsItOnce) {
  TempDir pictures;
  qputenv("XDG_PICTURES_DIR", QByteArray::fromStdString(pictures.path().string()));
  MainWindowOptions options;
  options.programDir = folder.path();
  options.isWritable = [this](const std::filesystem::path& p) { return p != folder.path(); };
  std::vector<QUrl> urls;
  options.openUrl = [&urls](const QUrl& url) {
    urls.push_back(url);
    return true;
  };
  window = std::make_unique<MainWindow>(std::move(options));
  qunsetenv("XDG_PICTURES_DIR");
  const auto expected = pictures.path() / "Lumbrin";
  EXPECT_EQ(window->saveFolder(), expected);
  EXPECT_EQ(window->host().saveFolder(), expected);
  const QString log = control<QPlainTextEdit>("编辑框1")->toPlainText();
  EXPECT_EQ(log.count(QString::fromStdString(expected.string())), 1);
  EXPECT_TRUE(log.endsWith(QLatin1Char('\n')));
  window->softwareMenu()->actions()[0]->trigger();
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], QUrl::fromLocalFile(QString::fromStdString(expected.string())));
}

}  // namespace
}  // namespace lumbrin::test
