// Closing the window while its workers still run: the single worker waiting
// on its completion box, picture threads still downloading after their
// dispatcher has ended. Those threads outlive the window and must find a
// host that still exists (under the sanitizers a freed one is a report);
// whatever they were saving is either whole on disk or absent.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "e2e/e2e_support.h"
#include "fake_gallery.h"
#include "gallery/runs.h"
#include "support/temp_dir.h"

namespace lumbrin::e2e {
namespace {

QString Ui(const char* utf8) { return QString::fromUtf8(utf8); }

bool BoxVisible() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(w) != nullptr && w->isVisible()) return true;
  }
  return false;
}

class ClosingTheWindow : public ::testing::Test {
protected:
  void open(fake::FakeGallery& fake) {
    MainWindowOptions options;
    options.service.baseUrl = fake.baseUrl();
    options.workers.listing = ListAllPictures;
    options.workers.dispatcher = DownloadDispatcher;
    options.programDir = save.path();
    options.openUrl = [](const QUrl&) { return true; };
    options.trayAvailable = [] { return false; };
    window = std::make_unique<MainWindow>(std::move(options));
    window->show();
    window->findChild<QPlainTextEdit*>(Ui("输入cookie框"))->setPlainText(QString::fromStdString(fake.validCookie()));
    window->findChild<QAbstractButton*>(Ui("按钮1"))->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->listingThread() && window->listingThread()->finished(); },
                                30000));
  }
  void press(const char* button) { window->findChild<QAbstractButton*>(Ui(button))->click(); }

  // Every file left is a whole picture; nothing half written remains.
  void expectOnlyWholeFiles(const fake::FakeGallery& fake) {
    for (const std::string& name : FilesUnder(save.path())) {
      EXPECT_FALSE(name.starts_with(".")) << "temporary file left behind: " << name;
      bool whole = false;
      for (const fake::FakePicture& p : fake.pictures()) {
        const ByteBuffer content = fake.contentOf(p.id);
        whole = whole || (p.fileName == name && ReadAll(save.path() / name) == std::string(content.begin(), content.end()));
      }
      EXPECT_TRUE(whole) << name << " is not a whole picture";
    }
  }

  // Requests go through the process-wide session: picture threads may still
  // use it after the test has ended.
  test::TempDir save;
  std::unique_ptr<MainWindow> window;
};

TEST_F(ClosingTheWindow, WhileTheSingleWorkerWaitsOnItsCompletionBox) {
  fake::FakeGalleryOptions options;
  options.days = 1;
  options.picturesPerDay = 3;
  options.maxSize = 5000;
  fake::FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  open(fake);
  press("按钮6");
  ASSERT_TRUE(QTest::qWaitFor(BoxVisible, 30000));
  window.reset();  // the worker is released from its box and returns through the host
  QTest::qWait(500);
  expectOnlyWholeFiles(fake);
}

TEST_F(ClosingTheWindow, WhilePictureThreadsOutliveTheirDispatcher) {
  fake::FakeGalleryOptions options;
  options.days = 1;
  options.picturesPerDay = 12;
  options.maxSize = 5000;
  fake::FakeGallery fake(options);
  ASSERT_TRUE(fake.start());
  open(fake);
  fake.setLatencyMs(250);  // each picture takes about a second
  press("按钮7");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->dispatcherThread() && window->dispatcherThread()->finished(); },
                              30000));
  ASSERT_GT(window->state().activeWorkers.load(), 0) << "the picture threads ended too soon for this test";
  window.reset();
  QTest::qWait(4000);  // the picture threads finish against a window that is gone
  expectOnlyWholeFiles(fake);
}

}  // namespace
}  // namespace lumbrin::e2e
