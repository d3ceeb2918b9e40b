#pragma once
// Shared pieces of the window tests: a window with injected workers and a
// seam for opening folders, and helpers to find its controls.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>

#include "app/main_window.h"
#include "http/charset.h"
#include "support/temp_dir.h"

namespace lumbrin::test {

inline QString Ui(const char* utf8) { return QString::fromUtf8(utf8); }
inline LocalText L(const char* utf8) { return LocalFromUtf8(utf8); }

// Waits, dispatching the GUI thread's events, until `pred` holds. Blocks in
// the event dispatcher between checks, so requests of workers are carried
// out as soon as they arrive.
template <class Pred>
bool WaitFor(Pred pred, int timeoutMs = 10000) {
  if (pred()) return true;
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (pred()) loop.quit();
  });
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  check.start(1);
  loop.exec();
  return pred();
}

// The worker message boxes that are open (top-level, caption "信息：").
inline QList<QMessageBox*> OpenMessageBoxes() {
  QList<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) boxes.push_back(box);
  }
  return boxes;
}

class WindowTest : public ::testing::Test {
protected:
  // Creates the window; tests set `workers` (and other options) before.
  MainWindow& open() {
    MainWindowOptions options;
    options.workers = workers;
    options.programDir = folder.path();
    options.openUrl = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    options.trayAvailable = [this] { return trayAvailable; };
    options.attachSkin = attachSkin;
    window = std::make_unique<MainWindow>(std::move(options));
    return *window;
  }

  template <class W = QWidget>
  W* control(const char* name) {
    return window->findChild<W*>(Ui(name));
  }

  void click(const char* buttonName) {
    auto* button = control<QAbstractButton>(buttonName);
    ASSERT_NE(button, nullptr) << buttonName;
    button->click();
  }

  void TearDown() override {
    for (QMessageBox* box : OpenMessageBoxes()) box->done(QMessageBox::Ok);
    window.reset();
    QApplication::processEvents();
  }

  TempDir folder;
  WindowWorkers workers;
  std::function<void()> attachSkin;
  bool trayAvailable = false;
  std::vector<QUrl> opened;
  std::unique_ptr<MainWindow> window;
};

}  // namespace lumbrin::test
