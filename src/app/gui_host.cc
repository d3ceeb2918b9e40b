#include "app/gui_host.h"

#include <utility>

#include "app/main_window.h"

namespace lumbrin {

GuiHost::GuiHost(std::shared_ptr<GuiCallQueue> calls, MainWindow* window, ServiceSettings service,
                 std::filesystem::path saveFolder)
    : calls_(std::move(calls)), window_(window), service_(std::move(service)), saveFolder_(std::move(saveFolder)) {}

void GuiHost::detach() {
  window_ = nullptr;
  calls_->close();
}

template <class Fn>
bool GuiHost::onWindow(Fn&& fn) {
  bool ran = false;
  const bool carried = calls_->call([&] {
    if (window_ == nullptr) return;
    fn(*window_);
    ran = true;
  });
  return carried && ran;
}

LocalText GuiHost::cookieText() {
  LocalText text;
  onWindow([&](MainWindow& w) { text = w.cookieBoxText(); });
  return text;
}

void GuiHost::removeAllRows() {
  onWindow([](MainWindow& w) { w.clearRows(); });
}

int GuiHost::appendRow(const std::vector<LocalText>& cells) {
  int row = -1;
  onWindow([&](MainWindow& w) { row = w.addRow(cells); });
  return row;
}

void GuiHost::setCell(int row, int column, const LocalText& text) {
  onWindow([&](MainWindow& w) { w.setRowCell(row, column, text); });
}

int GuiHost::rowCount() {
  int count = 0;
  onWindow([&](MainWindow& w) { count = w.rows(); });
  return count;
}

LocalText GuiHost::cellText(int row, int column) {
  LocalText text;
  onWindow([&](MainWindow& w) { text = w.cell(row, column); });
  return text;
}

std::vector<std::vector<LocalText>> GuiHost::readRows(int first, int count) {
  std::vector<std::vector<LocalText>> rows;
  onWindow([&](MainWindow& w) { rows = w.rowRange(first, count); });
  return rows;
}

void GuiHost::appendLog(const LocalText& text) {
  onWindow([&](MainWindow& w) { w.logAppend(text); });
}

void GuiHost::showMessage(const LocalText& text) {
  if (calls_->onGuiThread()) {
    if (window_ != nullptr) window_->showModalMessage(text);
    return;
  }
  // The box lives on the GUI thread without blocking it; this thread waits
  // until it is dismissed, is ended, or the window goes.
  (void)calls_->callUntilDone([this, text](GuiCallQueue::Done done) {
    if (window_ == nullptr) {
      done();
      return;
    }
    window_->showWorkerMessage(text, std::move(done));
  });
}

}  // namespace lumbrin
