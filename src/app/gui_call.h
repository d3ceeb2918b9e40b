#pragma once
// Carries out operations that any thread requests on the GUI thread, and
// lets the requesting thread wait for them.
//
// Workers never touch Qt: a request is queued under a std::mutex and the GUI
// thread is woken through an eventfd that a QSocketNotifier watches
// (GuiCallReceiver). Before carrying a request out, the GUI thread checks the
// requesting thread's cancel token (CurrentCancelToken() at the time of the
// request): a request of an ended thread is refused. Since ending happens on
// the GUI thread too, no request of a thread is carried out after the command
// that ended it has returned.
//
// Thread contract: construct, drain(), close() and destroy the receiver on
// the GUI thread; call() and callUntilDone() from any thread. The queue is
// shared (shared_ptr) by everything that may still call it.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QObject>

#include "base/cancel.h"

class QSocketNotifier;

namespace lumbrin {

class GuiCallQueue : public std::enable_shared_from_this<GuiCallQueue> {
public:
  // The calling thread becomes the GUI thread of the queue.
  [[nodiscard]] static std::shared_ptr<GuiCallQueue> create();
  ~GuiCallQueue();
  GuiCallQueue(const GuiCallQueue&) = delete;
  GuiCallQueue& operator=(const GuiCallQueue&) = delete;

  [[nodiscard]] bool onGuiThread() const noexcept { return std::this_thread::get_id() == guiThread_; }

  // Runs `fn` on the GUI thread and returns when it has run: true. False when
  // it was refused (the caller's token was cancelled before the GUI thread
  // took the request, or the queue is closed); then `fn` never runs. On the
  // GUI thread itself `fn` runs at once.
  [[nodiscard]] bool call(std::function<void()> fn);

  // For an operation that ends later (a message box): `start` runs on the GUI
  // thread with a `done` callback that the GUI thread calls when the
  // operation is over. Waits for `done`, for the caller's token to be
  // cancelled or for the queue to close, whichever comes first; true only
  // for `done`. `start` must not refer to the caller's stack. Not for the
  // GUI thread (false at once).
  using Done = std::function<void()>;
  [[nodiscard]] bool callUntilDone(std::function<void(Done)> start);

  // GUI thread: carries out every queued request.
  void drain();
  // GUI thread: refuses what is queued and everything later, and releases
  // every waiter.
  void close();
  [[nodiscard]] bool closed() const;

  // Readable while requests wait (eventfd); for GuiCallReceiver.
  [[nodiscard]] int wakeFd() const noexcept { return wakeFd_; }

private:
  GuiCallQueue();
  struct Request;
  bool submit(const std::shared_ptr<Request>& request);
  void finish(const std::shared_ptr<Request>& request);

  const std::thread::id guiThread_;
  int wakeFd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Request>> queue_;
  bool closed_ = false;
};

// Drains `queue` whenever requests arrive. Lives on the GUI thread.
class GuiCallReceiver : public QObject {
  Q_OBJECT
public:
  explicit GuiCallReceiver(std::shared_ptr<GuiCallQueue> queue, QObject* parent = nullptr);
  ~GuiCallReceiver() override;

private:
  std::shared_ptr<GuiCallQueue> queue_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace lumbrin
