// The whole system through the real window on the offscreen platform: paste
// the cookie, list every picture, download them with one worker and with
// ten, against the fake service on loopback; check the log, the completion
// message and the files.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include "app/main_window.h"
#include "app/window_fixture.h"
#include "fake_gallery.h"
#include "gallery/runs.h"
#include "http/web_request.h"
#include "support/temp_dir.h"

namespace lumbrin {
namespace {

namespace fs = std::filesystem;
using test::OpenMessageBoxes;
using test::Ui;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class WindowDownloads : public ::testing::Test {
protected:
  WindowDownloads() : fake(Options()) {}

  static fake::FakeGalleryOptions Options() {
    fake::FakeGalleryOptions options;
    options.picturesOfDay = {7, 35};  // the second day spans two pages
    options.maxSize = 150000;
    return options;
  }

  void SetUp() override { ASSERT_TRUE(fake.start()); }

  void TearDown() override {
    for (QMessageBox* box : OpenMessageBoxes()) box->done(QMessageBox::Ok);
    window.reset();
    QApplication::processEvents();
  }

  MainWindow& open() {
    MainWindowOptions options;
    options.service.baseUrl = fake.baseUrl();
    options.service.timeoutSeconds = 5;
    options.service.session = &session;
    options.workers.listing = ListAllPictures;
    options.workers.dispatcher = DownloadDispatcher;
    options.programDir = programDir.path();
    options.openUrl = [](const QUrl&) { return true; };
    options.trayAvailable = [] { return false; };
    window = std::make_unique<MainWindow>(std::move(options));
    window->show();
    return *window;
  }

  template <class W = QWidget>
  W* control(const char* name) {
    return window->findChild<W*>(Ui(name));
  }
  void click(const char* name) {
    auto* button = control<QAbstractButton>(name);
    ASSERT_NE(button, nullptr) << name;
    button->click();
  }

  // Pastes the cookie and lists; every picture ends up as a row.
  void listEverything() {
    auto* cookieBox = control<QPlainTextEdit>("输入cookie框");
    ASSERT_NE(cookieBox, nullptr);
    QTest::keyClicks(cookieBox, QString::fromStdString(fake.validCookie()));
    click("按钮1");
    auto* list = control<QTreeWidget>("超级列表框1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == static_cast<int>(fake.pictures().size()); },
                                20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->listingThread()->finished(); }, 20000));
    EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), fake.pictures()[0].id);
  }

  std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    for (const QString& line : control<QPlainTextEdit>("编辑框1")->toPlainText().split(QLatin1Char('\n'))) {
      lines.push_back(line.toStdString());
    }
    return lines;
  }
  int savedLines() {
    int n = 0;
    for (const auto& line : logLines()) n += line.find("下载成功！") != std::string::npos ? 1 : 0;
    return n;
  }

  void expectEveryFileSaved() {
    const fs::path folder = window->saveFolder();
    std::set<std::string> expected;
    for (const auto& p : fake.pictures()) {
      expected.insert(p.fileName);
      const ByteBuffer content = fake.contentOf(p.id);
      EXPECT_EQ(ReadAll(folder / p.fileName), std::string(content.begin(), content.end())) << p.fileName;
    }
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.is_regular_file()) present.insert(entry.path().filename().string());
    }
    for (const auto& name : expected) present.erase(name);
    for (const auto& name : present) EXPECT_FALSE(name.ends_with(".part")) << "left behind: " << name;
  }

  fake::FakeGallery fake;
  WebSession session;
  test::TempDir programDir;
  std::unique_ptr<MainWindow> window;
};

TEST_F(WindowDownloads, SingleWorkerDownloadsEveryListedPicture) {
  open();
  listEverything();
  click("按钮6");

  ASSERT_TRUE(QTest::qWaitFor([] { return OpenMessageBoxes().size() == 1; }, 30000));
  EXPECT_EQ(OpenMessageBoxes()[0]->text().toStdString(),
            "已下载完毕 文件保存在：" + window->saveFolder().string());
  bool started = false;
  for (const auto& line : logLines()) started = started || line.ends_with(" 请稍等 正在启动单线程下载");
  EXPECT_TRUE(started);
  EXPECT_EQ(savedLines(), static_cast<int>(fake.pictures().size()));
  EXPECT_EQ(window->state().activeWorkers.load(), 0);
  expectEveryFileSaved();
}

TEST_F(WindowDownloads, TenWorkersDownloadEveryListedPicture) {
  open();
  listEverything();
  click("按钮7");

  const int pictures = static_cast<int>(fake.pictures().size());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return savedLines() == pictures && window->state().activeWorkers.load() == 0; }, 30000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->dispatcherThread()->finished(); }, 5000));
  bool started = false;
  for (const auto& line : logLines()) started = started || line.ends_with("以开启十个线程下载");
  EXPECT_TRUE(started);
  EXPECT_TRUE(OpenMessageBoxes().empty()) << "the ten-worker run ends silently";
  expectEveryFileSaved();
}

}  // namespace
}  // namespace lumbrin
