// Runs the window tests inside a QApplication on the GUI thread, on the
// offscreen platform unless another one is asked for.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt_event_pump.h"

// Under ThreadSanitizer: Qt is not instrumented, and its own threads (its
// pools for image conversion and the like) synchronise where the sanitizer
// cannot see it, so what Qt's libraries do by themselves is not checked. Our
// code, and every access it makes, stays checked. (The executable exports
// this symbol so the sanitizer's runtime finds it.)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n";
}

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
