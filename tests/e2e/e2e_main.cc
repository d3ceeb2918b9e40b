// The e2e suite's main: a QApplication on this thread (the GUI thread of
// every window the tests open) with its event pump installed, so a timed wait
// on this thread keeps the window responsive.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt_event_pump.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  lumbrin::QtEventPump pump;
  lumbrin::SetThreadEventPump(&pump);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  lumbrin::SetThreadEventPump(nullptr);
  return result;
}
