#pragma once
// The main window: its controls, the hidden "软件" menu, the tray icon, the
// commands of the seven buttons and the menu, and the shared state through
// which the commands steer the workers.
//
// Thread contract: a MainWindow and everything it owns live on the GUI
// thread; every member is called there. Workers reach the window only
// through host() (see gui_host.h). No command ever waits for a worker.

#include <QPointer>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/gui_host.h"
#include "base/text.h"
#include "threads/thread_start.h"

class QGroupBox;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace lumbrin {

class GuiCallReceiver;

// The routines the commands start, each on a new thread: the listing
// ("获取所有图片") and the download dispatcher (the three download commands).
// Empty ones start a thread that does nothing.
struct WindowWorkers {
  std::function<void(Host&)> listing;
  std::function<void(Host&)> dispatcher;
};

struct MainWindowOptions {
  ServiceSettings service;
  WindowWorkers workers;
  // Window-created step: attaches the built-in skin; may be empty.
  std::function<void()> attachSkin;
  // The program's directory; empty: QCoreApplication::applicationDirPath().
  std::filesystem::path programDir;
  // Whether pictures can be saved in a folder; empty: IsWritableFolder.
  std::function<bool(const std::filesystem::path&)> isWritable;
  // Opens a folder for the user; empty: QDesktopServices::openUrl.
  std::function<bool(const QUrl&)> openUrl;
  // Whether a notification area exists; empty: QSystemTrayIcon::isSystemTrayAvailable.
  std::function<bool()> trayAvailable;
};

class MainWindow : public QWidget {
  Q_OBJECT
public:
  // The outer size of the window, frame included, where the window system
  // gives it a frame.
  static constexpr int kOuterWidth = 740;
  static constexpr int kOuterHeight = 807;
  // The client area never gets smaller than the controls' extent.
  static constexpr int kControlsWidth = 736;
  static constexpr int kControlsHeight = 776;

  explicit MainWindow(MainWindowOptions options);
  ~MainWindow() override;

  [[nodiscard]] Host& host() { return *host_; }
  [[nodiscard]] SharedState& state() { return host_->state(); }
  [[nodiscard]] const ThreadHandle& listingThread() const { return listingThread_; }
  [[nodiscard]] const ThreadHandle& dispatcherThread() const { return dispatcherThread_; }
  [[nodiscard]] QMenu* softwareMenu() const { return menu_; }
  [[nodiscard]] QSystemTrayIcon* trayIcon() const { return tray_; }
  [[nodiscard]] const std::filesystem::path& saveFolder() const { return saveFolder_; }

  // The tray icon's events: the context request pops the menu up at the
  // cursor moved by (3, 3); clicks and double clicks do nothing.
  void handleTrayActivation(QSystemTrayIcon::ActivationReason reason);

  // Host operations, carried out here on the GUI thread (see GuiHost).
  [[nodiscard]] LocalText cookieBoxText() const;
  void clearRows();
  int addRow(const std::vector<LocalText>& cells);
  void setRowCell(int row, int column, const LocalText& text);
  [[nodiscard]] int rows() const;
  [[nodiscard]] LocalText cell(int row, int column) const;
  [[nodiscard]] std::vector<std::vector<LocalText>> rowRange(int first, int count) const;
  void logAppend(const LocalText& text);
  // A box that blocks nobody here: `done` runs when it is dismissed (or
  // when the window goes).
  void showWorkerMessage(const LocalText& text, std::function<void()> done);
  // A box modal to this window, for messages of the GUI thread itself.
  void showModalMessage(const LocalText& text);

signals:
  // The window was closed ("关闭" or the window system's close): the
  // program ends.
  void closed();

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

private:
  void buildControls();
  void buildMenuAndTray();
  void onWindowCreated();
  void fitOuterSize();
  void endWorkers();
  ThreadHandle startWorker(const std::function<void(Host&)>& routine, std::int32_t parameter);

  // Commands.
  void listAllPictures();       // 按钮1 "获取所有图片"
  void pauseListing();          // 按钮3 "暂停获取"
  void downloadPictures();      // 按钮2 "下载图片"
  void singleThreadDownload();  // 按钮6 "单线程下载"
  void multiThreadDownload();   // 按钮7 "多线程下载"
  void stopDownload();          // 按钮4 "停止下载"
  void startDownloadDispatcher();
  void openSaveFolder();        // "打开相册保存位置"
  void showSuggestion();        // "提建议"
  void minimizeWindow();        // "最小化"

  MainWindowOptions options_;
  std::filesystem::path saveFolder_;
  bool saveFolderIsFallback_ = false;
  std::shared_ptr<GuiCallQueue> calls_;
  std::shared_ptr<GuiHost> host_;
  GuiCallReceiver* receiver_ = nullptr;

  ThreadHandle listingThread_;
  ThreadHandle dispatcherThread_;

  QTreeWidget* list_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QPlainTextEdit* cookieBox_ = nullptr;
  QMenu* menu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::vector<QPointer<QMessageBox>> workerBoxes_;
};

}  // namespace lumbrin
