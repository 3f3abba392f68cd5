// Channels between threads: an unbounded FIFO queue with one receiver, and a
// one-shot rendezvous that carries an empty value from one thread to another.
//
// Waking a sleeping thread costs the sender a system call (several microseconds on a
// virtual machine), so a receiver may linger: after a batch it waits a while for more
// items without being woken by each send, and only then falls asleep until the next
// item. Urgent items, a full batch and the last sender leaving wake it at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace zel {

// The fatal messages for a send whose receiving end is gone, and for a receive whose
// sending end went away without sending.
inline constexpr const char* kSendError =
    "called `Result::unwrap()` on an `Err` value: SendError { .. }";
inline constexpr const char* kRecvError = "called `Result::unwrap()` on an `Err` value: RecvError";

template <class T>
struct QueueState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> items;
  size_t senders = 1;
  bool receiver_alive = true;
  bool receiver_asleep = false;  // waiting with no time limit: every send wakes it
  bool wake_now = false;         // ends a lingering receiver's wait early
};

// Items that wake a lingering receiver by their number alone.
inline constexpr size_t kWakeBatch = 1024;

// The sending end of an unbounded queue. Never waits.
template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<QueueState<T>> s) : s_(std::move(s)) {}
  Sender(const Sender& o) : s_(o.s_) {
    std::lock_guard lock(s_->mutex);
    ++s_->senders;
  }
  Sender(Sender&&) noexcept = default;
  Sender& operator=(const Sender&) = delete;
  Sender& operator=(Sender&&) = delete;
  ~Sender() {
    if (!s_) return;
    std::lock_guard lock(s_->mutex);
    if (--s_->senders == 0) {
      s_->wake_now = true;
      s_->ready.notify_all();
    }
  }

  // Queues `item`; an `urgent` one wakes a lingering receiver. When the receiver is
  // gone, the item comes back to the caller.
  [[nodiscard]] std::optional<T> send(T item, bool urgent = false) {
    {
      std::lock_guard lock(s_->mutex);
      if (s_->receiver_alive) {
        s_->items.push_back(std::move(item));
        if (urgent || s_->items.size() >= kWakeBatch) s_->wake_now = true;
        if (s_->receiver_asleep || s_->wake_now) s_->ready.notify_one();
        return std::nullopt;
      }
    }
    return std::optional<T>(std::move(item));
  }

 private:
  std::shared_ptr<QueueState<T>> s_;
};

// The receiving end. Destroying it discards every queued item.
template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<QueueState<T>> s) : s_(std::move(s)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver(const Receiver&) = delete;
  ~Receiver() {
    if (!s_) return;
    std::deque<T> discarded;
    std::lock_guard lock(s_->mutex);
    s_->receiver_alive = false;
    discarded.swap(s_->items);
  }  // `discarded` dies after the lock is released

  // Waits until items are queued and moves all of them, in order, to the back of
  // `out`. Returns false once every sender is gone and nothing is left. With a
  // `linger`, it first waits that long for items to gather, unless woken early.
  bool recv_all(std::deque<T>& out,
                std::chrono::nanoseconds linger = std::chrono::nanoseconds::zero()) {
    std::unique_lock lock(s_->mutex);
    if (linger > linger.zero()) s_->ready.wait_for(lock, linger, [&] { return s_->wake_now; });
    if (s_->items.empty()) {
      s_->receiver_asleep = true;
      s_->ready.wait(lock, [&] { return !s_->items.empty() || s_->senders == 0; });
      s_->receiver_asleep = false;
    }
    s_->wake_now = s_->senders == 0;
    if (s_->items.empty()) return false;
    if (out.empty()) {
      out.swap(s_->items);
    } else {
      for (auto& item : s_->items) out.push_back(std::move(item));
      s_->items.clear();
    }
    return true;
  }

 private:
  std::shared_ptr<QueueState<T>> s_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue() {
  auto s = std::make_shared<QueueState<T>>();
  return {Sender<T>(s), Receiver<T>(s)};
}

struct RendezvousState {
  std::mutex mutex;
  std::condition_variable changed;
  bool offered = false;
  bool taken = false;
  bool sender_alive = true;
  bool receiver_alive = true;
};

// Sends one empty value and waits until the other end has taken it.
class AckSender {
 public:
  explicit AckSender(std::shared_ptr<RendezvousState> s) : s_(std::move(s)) {}
  AckSender(AckSender&&) noexcept = default;
  AckSender(const AckSender&) = delete;
  ~AckSender() {
    if (!s_) return;
    std::lock_guard lock(s_->mutex);
    s_->sender_alive = false;
    s_->changed.notify_all();
  }

  // False when the receiving end is gone before it took the value.
  [[nodiscard]] bool send() {
    std::unique_lock lock(s_->mutex);
    if (!s_->receiver_alive) return false;
    s_->offered = true;
    s_->changed.notify_all();
    s_->changed.wait(lock, [&] { return s_->taken || !s_->receiver_alive; });
    return s_->taken;
  }

 private:
  std::shared_ptr<RendezvousState> s_;
};

class AckReceiver {
 public:
  explicit AckReceiver(std::shared_ptr<RendezvousState> s) : s_(std::move(s)) {}
  AckReceiver(AckReceiver&&) noexcept = default;
  AckReceiver(const AckReceiver&) = delete;
  ~AckReceiver() {
    if (!s_) return;
    std::lock_guard lock(s_->mutex);
    s_->receiver_alive = false;
    s_->changed.notify_all();
  }

  // Waits for the value. False when the sending end was dropped without sending.
  [[nodiscard]] bool recv() {
    std::unique_lock lock(s_->mutex);
    s_->changed.wait(lock, [&] { return s_->offered || !s_->sender_alive; });
    if (!s_->offered) return false;
    s_->taken = true;
    s_->changed.notify_all();
    return true;
  }

 private:
  std::shared_ptr<RendezvousState> s_;
};

inline std::pair<AckSender, AckReceiver> make_rendezvous() {
  auto s = std::make_shared<RendezvousState>();
  return {AckSender(s), AckReceiver(s)};
}

}  // namespace zel
