#include "app/qt_event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace lumbrin {

void QtEventPump::pumpUntil(std::chrono::steady_clock::time_point deadline) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  // A nested loop ended by a one-shot timer: blocks in the event dispatcher
  // (no spinning). Leaves early when the loop ends otherwise (application exit).
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    QEventLoop loop;
    QTimer timer;
    bool fired = false;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
      fired = true;
      loop.quit();
    });
    timer.start(ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
    loop.exec();
    if (!fired) return;
  }
}

}  // namespace lumbrin
