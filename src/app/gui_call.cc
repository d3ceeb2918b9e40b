#include "app/gui_call.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <QSocketNotifier>

namespace lumbrin {

struct GuiCallQueue::Request {
  enum class State { Queued, Running, Done, Refused };
  std::function<void()> fn;          // carried out at once, or
  std::function<void(Done)> start;   // started, ended by done
  CancelToken* token = nullptr;      // the requester's; watched while queued
  State state = State::Queued;
};

std::shared_ptr<GuiCallQueue> GuiCallQueue::create() { return std::shared_ptr<GuiCallQueue>(new GuiCallQueue()); }

GuiCallQueue::GuiCallQueue() : guiThread_(std::this_thread::get_id()) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

GuiCallQueue::~GuiCallQueue() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool GuiCallQueue::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool GuiCallQueue::call(std::function<void()> fn) {
  if (!fn) return false;
  if (onGuiThread()) {
    if (closed()) return false;
    fn();
    return true;
  }
  auto request = std::make_shared<Request>();
  request->fn = std::move(fn);
  return submit(request);
}

bool GuiCallQueue::callUntilDone(std::function<void(Done)> start) {
  if (!start || onGuiThread()) return false;
  auto request = std::make_shared<Request>();
  request->start = std::move(start);
  return submit(request);
}

bool GuiCallQueue::submit(const std::shared_ptr<Request>& request) {
  using State = Request::State;
  CancelToken* token = CurrentCancelToken();
  request->token = token;
  std::uint64_t waker = 0;
  if (token != nullptr) {
    // Registered before taking mutex_: wakers run under the token's lock and
    // take mutex_, so mutex_ is never held while the token's lock is taken.
    waker = token->addWaker([this] {
      std::lock_guard lock(mutex_);
      changed_.notify_all();
    });
    if (waker == 0) return false;  // already cancelled
  }
  bool done = false;
  {
    std::unique_lock lock(mutex_);
    if (!closed_ && wakeFd_ >= 0) {
      queue_.push_back(request);
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
      const bool finishesLater = static_cast<bool>(request->start);
      changed_.wait(lock, [&] {
        if (request->state == State::Done || request->state == State::Refused || closed_) return true;
        // A quick operation already under way is waited for; a long one
        // (a message box) is left when the caller is ended.
        const bool cancelled = token != nullptr && token->cancelled();
        return cancelled && (request->state == State::Queued || finishesLater);
      });
      if (request->state == State::Queued) {
        std::erase(queue_, request);
        request->state = State::Refused;
      }
      done = request->state == State::Done;
      if (!done) request->state = State::Refused;  // a later done() changes nothing
    }
  }
  if (token != nullptr) token->removeWaker(waker);
  return done;
}

void GuiCallQueue::finish(const std::shared_ptr<Request>& request) {
  std::lock_guard lock(mutex_);
  if (request->state == Request::State::Running) request->state = Request::State::Done;
  changed_.notify_all();
}

void GuiCallQueue::drain() {
  using State = Request::State;
  std::uint64_t count = 0;
  [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || closed_) return;
      request = std::move(queue_.front());
      queue_.pop_front();
      if (request->token != nullptr && request->token->cancelled()) {
        request->state = State::Refused;
        changed_.notify_all();
        continue;
      }
      request->state = State::Running;
    }
    if (request->fn) {
      try {
        request->fn();
      } catch (...) {
      }
      finish(request);
    } else {
      // done may be called long after, from a widget's signal: it keeps the
      // queue and the request alive on its own.
      auto done = [self = shared_from_this(), request] { self->finish(request); };
      try {
        request->start(done);
      } catch (...) {
        done();
      }
    }
  }
}

void GuiCallQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (auto& request : queue_) request->state = Request::State::Refused;
  queue_.clear();
  changed_.notify_all();
}

GuiCallReceiver::GuiCallReceiver(std::shared_ptr<GuiCallQueue> queue, QObject* parent)
    : QObject(parent), queue_(std::move(queue)) {
  if (queue_->wakeFd() >= 0) {
    notifier_ = new QSocketNotifier(queue_->wakeFd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { queue_->drain(); });
  }
}

GuiCallReceiver::~GuiCallReceiver() = default;

}  // namespace lumbrin
