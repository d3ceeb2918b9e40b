// Runs the window tests inside a QApplication on the GUI thread, on the
// offscreen platform unless another one is asked for.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt_event_pump.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The tray icon of the offscreen platform warns about a signal it lacks.
  if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) qputenv("QT_LOGGING_RULES", "qt.core.qobject.connect=false");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  lumbrin::QtEventPump pump;
  lumbrin::SetThreadEventPump(&pump);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  lumbrin::SetThreadEventPump(nullptr);
  return result;
}
