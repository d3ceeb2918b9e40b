// lumbrin: the desktop window. Start-up, the event loop, and the exit.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/app_options.h"
#include "app/main_window.h"
#include "app/qt_event_pump.h"
#include "app/skin_glue.h"
#include "gallery/runs.h"
#include "skin/skin_attach.h"

#ifndef LUMBRIN_SERVICE_URL
#define LUMBRIN_SERVICE_URL "https://gallery.invalid"
#endif

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lumbrin"));
  // Worker message boxes are windows too: closing the last of them while the
  // main window is hidden must not end the program; only closing the main
  // window does.
  QApplication::setQuitOnLastWindowClosed(false);

  const lumbrin::AppOptions options =
      lumbrin::ParseAppOptions(QApplication::arguments(), QString::fromUtf8(LUMBRIN_SERVICE_URL));
  if (!options.ok || options.help) {
    std::fputs(options.message.toLocal8Bit().constData(), options.ok ? stdout : stderr);
    std::fputs("\n", options.ok ? stdout : stderr);
    return options.ok ? 0 : 2;
  }

  // Waits on this thread keep the window responsive.
  lumbrin::QtEventPump pump;
  lumbrin::SetThreadEventPump(&pump);

  // The skin engine is loaded before the window exists; when it fails to
  // load, the window is simply shown without a skin.
  lumbrin::SkinState skin;
  lumbrin::InstallSkinStyleApplier();
  (void)lumbrin::StartSkinEngine(skin);

  lumbrin::MainWindowOptions windowOptions;
  // The window handle is not used by the attachment, and the window is still
  // being built when this runs.
  windowOptions.attachSkin = [&skin] { lumbrin::AttachBuiltInSkin(skin, 2, 0, 1); };
  windowOptions.service = options.service;
  windowOptions.workers.listing = lumbrin::ListAllPictures;
  windowOptions.workers.dispatcher = lumbrin::DownloadDispatcher;
  lumbrin::MainWindow window(std::move(windowOptions));
  QObject::connect(&window, &lumbrin::MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  window.show();

  QApplication::exec();

  // Workers may still run: they are detached and must not meet destroyed
  // statics or a destroyed window, so the process ends here, at once.
  // Downloads write into temporary files renamed only when complete, so no
  // partial file is left under a picture's name.
  lumbrin::ReleaseSkinState(skin);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(0);
}
