// Multi-producer single-consumer channels, unbounded or bounded, FIFO.
//
// - Senders are copyable (each copy counts as one sender); when the last
//   one is gone the receiver sees the channel closed once it is empty.
// - When the receiver is gone, sends fail and hand the item back; queued
//   items are dropped.
// - Receive blocking (`recv`, for plain threads), awaiting (`recv_async`,
//   inside a runtime task) or without waiting (`try_recv`).
// - Bounded channels make senders wait for room: `send` blocks the thread,
//   `send_async` suspends the task, `try_send` reports Full.
// Never block on a channel from a scheduler thread: await instead.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/task.hpp"

namespace kestrune::rt {

template <class T>
struct SendError {
  T value;  // the item that could not be delivered
};

template <class T>
struct TrySendError {
  enum class Kind { Full, Closed };
  Kind kind;
  T value;
};

enum class TryRecvError { Empty, Closed };

template <class T>
class Sender;
template <class T>
class Receiver;

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mu;
  std::condition_variable recv_cv;
  std::condition_variable send_cv;
  std::deque<T> queue;
  std::size_t capacity = 0;  // 0: unbounded
  std::size_t senders = 1;
  bool receiver_alive = true;
  Waker recv_waker;
  const void* recv_waker_owner = nullptr;
  std::list<std::pair<const void*, Waker>> send_wakers;

  bool full() const { return capacity != 0 && queue.size() >= capacity; }
  bool readable() const { return !queue.empty() || senders == 0; }

  // Under mu: the item is queued; returns the receiver's waker to fire.
  Waker push_locked(T&& v) {
    queue.push_back(std::move(v));
    recv_cv.notify_one();
    recv_waker_owner = nullptr;
    return std::exchange(recv_waker, {});
  }

  // Under mu: room was made (or the receiver left); wakes every sender.
  std::vector<Waker> take_send_wakers_locked() {
    std::vector<Waker> out;
    for (auto& [_, w] : send_wakers) out.push_back(std::move(w));
    send_wakers.clear();
    send_cv.notify_all();
    return out;
  }
};

inline void wake_all(std::vector<Waker>& ws) {
  for (auto& w : ws) w.wake();
}

// Suspends until the channel is readable (an item or closed).
template <class T>
struct ReadableAwaiter {
  ChannelState<T>* st;
  bool registered = false;

  bool await_ready() {
    std::lock_guard lock(st->mu);
    return st->readable();
  }
  bool await_suspend(std::coroutine_handle<> h) {
    std::lock_guard lock(st->mu);
    if (st->readable()) return false;
    st->recv_waker = Waker::for_current(h);
    st->recv_waker_owner = this;
    registered = true;
    return true;
  }
  void await_resume() { unregister(); }
  ~ReadableAwaiter() { unregister(); }
  void unregister() {
    if (!registered) return;
    std::lock_guard lock(st->mu);
    if (st->recv_waker_owner == this) {
      st->recv_waker = {};
      st->recv_waker_owner = nullptr;
    }
    registered = false;
  }
};

// Suspends until a bounded channel has room or its receiver is gone.
template <class T>
struct WritableAwaiter {
  ChannelState<T>* st;
  bool registered = false;

  bool ready_locked() const { return !st->receiver_alive || !st->full(); }
  bool await_ready() {
    std::lock_guard lock(st->mu);
    return ready_locked();
  }
  bool await_suspend(std::coroutine_handle<> h) {
    std::lock_guard lock(st->mu);
    if (ready_locked()) return false;
    st->send_wakers.emplace_back(this, Waker::for_current(h));
    registered = true;
    return true;
  }
  void await_resume() { unregister(); }
  ~WritableAwaiter() { unregister(); }
  void unregister() {
    if (!registered) return;
    std::lock_guard lock(st->mu);
    st->send_wakers.remove_if([this](const auto& p) { return p.first == this; });
    registered = false;
  }
};

}  // namespace detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> st) : st_(std::move(st)) {}
  Sender(const Sender& o) : st_(o.st_) {
    if (st_) {
      std::lock_guard lock(st_->mu);
      ++st_->senders;
    }
  }
  Sender(Sender&& o) noexcept : st_(std::move(o.st_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(st_, o.st_);
    return *this;
  }
  ~Sender() { close(); }

  bool valid() const { return static_cast<bool>(st_); }

  // Drops this sender now.
  void close() {
    if (!st_) return;
    Waker w;
    {
      std::lock_guard lock(st_->mu);
      if (--st_->senders == 0) {
        st_->recv_cv.notify_all();
        st_->recv_waker_owner = nullptr;
        w = std::exchange(st_->recv_waker, {});
      }
    }
    st_.reset();
    if (w) w.wake();
  }

  // True once the receiver is gone.
  bool is_closed() const {
    std::lock_guard lock(st_->mu);
    return !st_->receiver_alive;
  }

  // Unbounded: never waits. Bounded: blocks this thread while full.
  std::expected<void, SendError<T>> send(T value) {
    Waker w;
    {
      std::unique_lock lock(st_->mu);
      st_->send_cv.wait(lock, [&] { return !st_->receiver_alive || !st_->full(); });
      if (!st_->receiver_alive) return std::unexpected(SendError<T>{std::move(value)});
      w = st_->push_locked(std::move(value));
    }
    if (w) w.wake();
    return {};
  }

  std::expected<void, TrySendError<T>> try_send(T value) {
    using K = typename TrySendError<T>::Kind;
    Waker w;
    {
      std::lock_guard lock(st_->mu);
      if (!st_->receiver_alive) return std::unexpected(TrySendError<T>{K::Closed, std::move(value)});
      if (st_->full()) return std::unexpected(TrySendError<T>{K::Full, std::move(value)});
      w = st_->push_locked(std::move(value));
    }
    if (w) w.wake();
    return {};
  }

  // Awaitable send: suspends the task while a bounded channel is full.
  Task<std::expected<void, SendError<T>>> send_async(T value) {
    auto st = st_;
    for (;;) {
      Waker w;
      bool sent = false;
      {
        std::lock_guard lock(st->mu);
        if (!st->receiver_alive) co_return std::unexpected(SendError<T>{std::move(value)});
        if (!st->full()) {
          w = st->push_locked(std::move(value));
          sent = true;
        }
      }
      if (sent) {
        if (w) w.wake();
        co_return std::expected<void, SendError<T>>{};
      }
      co_await detail::WritableAwaiter<T>{st.get()};
    }
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> st_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> st) : st_(std::move(st)) {}
  Receiver(Receiver&& o) noexcept : st_(std::move(o.st_)) {}
  Receiver& operator=(Receiver&& o) noexcept {
    if (this != &o) {
      close();
      st_ = std::move(o.st_);
    }
    return *this;
  }
  ~Receiver() { close(); }

  bool valid() const { return static_cast<bool>(st_); }

  // Drops the receiver now: later sends fail, queued items are dropped.
  void close() {
    if (!st_) return;
    std::deque<T> dropped;
    std::vector<Waker> ws;
    {
      std::lock_guard lock(st_->mu);
      st_->receiver_alive = false;
      dropped.swap(st_->queue);
      ws = st_->take_send_wakers_locked();
    }
    st_.reset();
    detail::wake_all(ws);
    // `dropped` is destroyed here, outside the channel lock.
  }

  // Blocks this thread; nullopt once the channel is empty and closed.
  std::optional<T> recv() {
    std::unique_lock lock(st_->mu);
    st_->recv_cv.wait(lock, [&] { return st_->readable(); });
    return pop_locked(lock);
  }

  std::expected<T, TryRecvError> try_recv() { return try_recv_on(*st_); }

  // Awaitable receive; nullopt once the channel is empty and closed.
  Task<std::optional<T>> recv_async() {
    auto st = st_;
    for (;;) {
      auto r = try_recv_on(*st);
      if (r) co_return std::optional<T>(std::move(*r));
      if (r.error() == TryRecvError::Closed) co_return std::optional<T>();
      co_await detail::ReadableAwaiter<T>{st.get()};
    }
  }

 private:
  static std::expected<T, TryRecvError> try_recv_on(detail::ChannelState<T>& st) {
    std::unique_lock lock(st.mu);
    if (st.queue.empty()) return std::unexpected(st.senders == 0 ? TryRecvError::Closed : TryRecvError::Empty);
    T v = std::move(st.queue.front());
    st.queue.pop_front();
    std::vector<Waker> ws;
    if (st.capacity) ws = st.take_send_wakers_locked();
    lock.unlock();
    detail::wake_all(ws);
    return v;
  }

  std::optional<T> pop_locked(std::unique_lock<std::mutex>& lock) {
    if (st_->queue.empty()) return std::nullopt;  // closed
    T v = std::move(st_->queue.front());
    st_->queue.pop_front();
    std::vector<Waker> ws;
    if (st_->capacity) ws = st_->take_send_wakers_locked();
    lock.unlock();
    detail::wake_all(ws);
    return std::optional<T>(std::move(v));
  }

  std::shared_ptr<detail::ChannelState<T>> st_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
  auto st = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(st), Receiver<T>(st)};
}

// A capacity of 0 behaves like 1.
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(std::size_t capacity) {
  auto st = std::make_shared<detail::ChannelState<T>>();
  st->capacity = capacity == 0 ? 1 : capacity;
  return {Sender<T>(st), Receiver<T>(st)};
}

}  // namespace kestrune::rt
