// One-shot channel: one value, sent at most once, received at most once.
// A sender dropped without sending makes the receiver see "no value"; a
// send after the receiver is gone fails and hands the value back.
#pragma once

#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/channel.hpp"
#include "runtime/task.hpp"

namespace kestrune::rt {

namespace detail {

template <class T>
struct OneshotState {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<T> value;
  bool sender_alive = true;
  bool receiver_alive = true;
  Waker waker;
  const void* waker_owner = nullptr;

  bool readable() const { return value.has_value() || !sender_alive; }
};

template <class T>
struct OneshotAwaiter {
  OneshotState<T>* st;
  bool registered = false;

  bool await_ready() {
    std::lock_guard lock(st->mu);
    return st->readable();
  }
  bool await_suspend(std::coroutine_handle<> h) {
    std::lock_guard lock(st->mu);
    if (st->readable()) return false;
    st->waker = Waker::for_current(h);
    st->waker_owner = this;
    registered = true;
    return true;
  }
  void await_resume() { unregister(); }
  ~OneshotAwaiter() { unregister(); }
  void unregister() {
    if (!registered) return;
    std::lock_guard lock(st->mu);
    if (st->waker_owner == this) {
      st->waker = {};
      st->waker_owner = nullptr;
    }
    registered = false;
  }
};

}  // namespace detail

template <class T>
class OneshotSender {
 public:
  OneshotSender() = default;
  explicit OneshotSender(std::shared_ptr<detail::OneshotState<T>> st) : st_(std::move(st)) {}
  OneshotSender(OneshotSender&& o) noexcept : st_(std::move(o.st_)) {}
  OneshotSender& operator=(OneshotSender&& o) noexcept {
    if (this != &o) {
      finish(std::nullopt);
      st_ = std::move(o.st_);
    }
    return *this;
  }
  ~OneshotSender() { finish(std::nullopt); }

  bool valid() const { return static_cast<bool>(st_); }

  // Delivers the value (consumes the sender). Fails when the receiver is gone.
  std::expected<void, T> send(T value) {
    if (!st_) return std::unexpected(std::move(value));
    bool receiver_gone;
    {
      std::lock_guard lock(st_->mu);
      receiver_gone = !st_->receiver_alive;
      if (receiver_gone) st_->sender_alive = false;
    }
    if (receiver_gone) {
      st_.reset();  // only after unlocking: this may free the state
      return std::unexpected(std::move(value));
    }
    finish(std::optional<T>(std::move(value)));
    return {};
  }

 private:
  void finish(std::optional<T> value) {
    if (!st_) return;
    Waker w;
    {
      std::lock_guard lock(st_->mu);
      if (value && st_->receiver_alive) st_->value = std::move(value);
      st_->sender_alive = false;
      st_->cv.notify_all();
      st_->waker_owner = nullptr;
      w = std::exchange(st_->waker, {});
    }
    st_.reset();
    if (w) w.wake();
  }

  std::shared_ptr<detail::OneshotState<T>> st_;
};

template <class T>
class OneshotReceiver {
 public:
  OneshotReceiver() = default;
  explicit OneshotReceiver(std::shared_ptr<detail::OneshotState<T>> st) : st_(std::move(st)) {}
  OneshotReceiver(OneshotReceiver&& o) noexcept : st_(std::move(o.st_)) {}
  OneshotReceiver& operator=(OneshotReceiver&& o) noexcept {
    if (this != &o) {
      close();
      st_ = std::move(o.st_);
    }
    return *this;
  }
  ~OneshotReceiver() { close(); }

  void close() {
    if (!st_) return;
    std::optional<T> dropped;
    {
      std::lock_guard lock(st_->mu);
      st_->receiver_alive = false;
      dropped.swap(st_->value);
    }
    st_.reset();
  }

  // Blocks this thread; nullopt when the sender was dropped unsent.
  std::optional<T> recv() {
    std::unique_lock lock(st_->mu);
    st_->cv.wait(lock, [&] { return st_->readable(); });
    return std::exchange(st_->value, std::nullopt);
  }

  std::expected<T, TryRecvError> try_recv() {
    std::lock_guard lock(st_->mu);
    if (st_->value) return std::move(*std::exchange(st_->value, std::nullopt));
    return std::unexpected(st_->sender_alive ? TryRecvError::Empty : TryRecvError::Closed);
  }

  // Awaitable receive; nullopt when the sender was dropped unsent.
  Task<std::optional<T>> recv_async() {
    auto st = st_;
    co_await detail::OneshotAwaiter<T>{st.get()};
    std::lock_guard lock(st->mu);
    co_return std::exchange(st->value, std::nullopt);
  }

 private:
  std::shared_ptr<detail::OneshotState<T>> st_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot() {
  auto st = std::make_shared<detail::OneshotState<T>>();
  return {OneshotSender<T>(st), OneshotReceiver<T>(st)};
}

}  // namespace kestrune::rt
