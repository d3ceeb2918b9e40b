#pragma once
// A Host for the gallery tests: an in-memory picture list, log and message
// record, a cookie box, shared state and a save folder inside a TempDir.
// Like the window, it refuses the list operations of a thread whose cancel
// token is cancelled. Thread-safe; it must outlive the downloads it hosts.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/cancel.h"
#include "gallery/host.h"
#include "http/charset.h"
#include "http/web_request.h"
#include "support/temp_dir.h"

namespace lumbrin::test {

class TestHost : public Host {
public:
  explicit TestHost(std::string baseUrl, std::string caFile = {}) {
    service_.baseUrl = std::move(baseUrl);
    service_.caFile = std::move(caFile);
    service_.timeoutSeconds = 5;
    // Its own connection cache: closing it with the host lets the fake
    // service stop at once instead of waiting on kept-alive connections.
    service_.session = &session_;
    saveFolder_ = dir_.path() / "save";
    std::filesystem::create_directory(saveFolder_);
    state_.runState = 1;
    state_.downloadMode = 1;
  }

  // Before any work starts.
  void setTimeoutSeconds(int seconds) { service_.timeoutSeconds = seconds; }

  void setCookie(LocalText cookie) {
    std::lock_guard lock(mutex_);
    cookie_ = std::move(cookie);
  }

  LocalText cookieText() override {
    notePeak();
    std::lock_guard lock(mutex_);
    return refused() ? LocalText() : cookie_;
  }
  void removeAllRows() override {
    std::lock_guard lock(mutex_);
    if (!refused()) rows_.clear();
  }
  int appendRow(const std::vector<LocalText>& cells) override {
    std::lock_guard lock(mutex_);
    if (refused()) return -1;
    rows_.push_back(cells);
    rows_.back().resize(3);
    changed_.notify_all();
    return static_cast<int>(rows_.size()) - 1;
  }
  void setCell(int row, int column, const LocalText& text) override {
    std::lock_guard lock(mutex_);
    if (refused() || row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column > 2) return;
    rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
  }
  int rowCount() override {
    std::lock_guard lock(mutex_);
    return refused() ? 0 : static_cast<int>(rows_.size());
  }
  LocalText cellText(int row, int column) override {
    std::lock_guard lock(mutex_);
    if (refused() || row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column > 2) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }
  void appendLog(const LocalText& text) override {
    notePeak();
    std::lock_guard lock(mutex_);
    log_ += text;
    changed_.notify_all();
  }
  void showMessage(const LocalText& text) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(text);
    changed_.notify_all();
  }
  SharedState& state() override { return state_; }
  const ServiceSettings& service() override { return service_; }
  std::filesystem::path saveFolder() override { return saveFolder_; }

  // Test side.
  void addRow(LocalText id, LocalText fileName) { (void)appendRow({std::move(id), "thumb", std::move(fileName)}); }
  std::vector<std::vector<LocalText>> rows() {
    std::lock_guard lock(mutex_);
    return rows_;
  }
  // The log as UTF-8.
  std::string log() {
    std::lock_guard lock(mutex_);
    return LocalToUtf8(log_);
  }
  std::vector<std::string> messages() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& m : messages_) out.push_back(LocalToUtf8(m));
    return out;
  }
  const std::filesystem::path& folder() const { return saveFolder_; }
  // The highest activeWorkers seen when a download read the cookie or logged.
  int peakActiveWorkers() const { return peak_.load(); }
  const std::filesystem::path& root() const { return dir_.path(); }

  // Waits until `done` holds, re-testing on every host change and at least
  // every 10 ms (shared counters change without a host call). False on time-out.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (true) {
      lock.unlock();
      if (done()) return true;
      lock.lock();
      if (std::chrono::steady_clock::now() >= deadline) return false;
      changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
  }

private:
  void notePeak() {
    const int now = state_.activeWorkers.load();
    int seen = peak_.load();
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
    }
  }
  static bool refused() {
    const CancelToken* token = CurrentCancelToken();
    return token != nullptr && token->cancelled();
  }

  WebSession session_;
  TempDir dir_;
  std::filesystem::path saveFolder_;
  ServiceSettings service_;
  SharedState state_;
  std::mutex mutex_;
  std::condition_variable changed_;
  LocalText cookie_;
  std::vector<std::vector<LocalText>> rows_;
  LocalText log_;
  std::vector<LocalText> messages_;
  std::atomic<int> peak_{0};
};

}  // namespace lumbrin::test
