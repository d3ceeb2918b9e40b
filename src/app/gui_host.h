#pragma once
// The window's implementation of the gallery core's host interface.
//
// Thread contract: every Host operation may be called from any thread. List,
// log, cookie and message operations are carried out on the GUI thread
// through a GuiCallQueue; a worker whose token is cancelled is refused
// (appendRow -1, reads empty or 0, writes dropped), as is everyone once the
// window has gone (detach()). State, service settings and the save folder
// are plain data and need no GUI thread. Workers keep the host alive through
// a shared_ptr, so it may outlive the window.

#include <filesystem>
#include <memory>
#include <vector>

#include "app/gui_call.h"
#include "gallery/host.h"

namespace lumbrin {

class MainWindow;

class GuiHost final : public Host, public std::enable_shared_from_this<GuiHost> {
public:
  // GUI thread.
  GuiHost(std::shared_ptr<GuiCallQueue> calls, MainWindow* window, ServiceSettings service,
          std::filesystem::path saveFolder);
  // GUI thread: the window is going; every later request is refused.
  void detach();

  LocalText cookieText() override;
  void removeAllRows() override;
  int appendRow(const std::vector<LocalText>& cells) override;
  void setCell(int row, int column, const LocalText& text) override;
  int rowCount() override;
  LocalText cellText(int row, int column) override;
  std::vector<std::vector<LocalText>> readRows(int first, int count) override;
  void appendLog(const LocalText& text) override;
  void showMessage(const LocalText& text) override;
  SharedState& state() override { return state_; }
  const ServiceSettings& service() override { return service_; }
  std::filesystem::path saveFolder() override { return saveFolder_; }
  // Threads the core starts from a worker share the host this way.
  std::shared_ptr<void> keepAlive() override { return weak_from_this().lock(); }

private:
  // Runs fn(window) on the GUI thread while the window exists; false when refused.
  template <class Fn>
  bool onWindow(Fn&& fn);

  std::shared_ptr<GuiCallQueue> calls_;
  MainWindow* window_;  // GUI thread only; null after detach()
  SharedState state_;
  const ServiceSettings service_;
  const std::filesystem::path saveFolder_;
};

}  // namespace lumbrin
