#include "base/channel.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

namespace zel {
namespace {

TEST(Queue, ItemComesBackOnceTheReceiverIsGone) {
  auto [tx, rx] = make_queue<std::unique_ptr<int>>();
  EXPECT_FALSE(tx.send(std::make_unique<int>(1)));
  { auto gone = std::move(rx); }
  auto back = tx.send(std::make_unique<int>(2));
  ASSERT_TRUE(back);
  EXPECT_EQ(**back, 2);
}

// Each case would hang (and time out) if the receiver were not woken.
TEST(Queue, ALingeringReceiverIsWokenByUrgentItemsAFullBatchOrTheLastSenderLeaving) {
  constexpr auto kForever = std::chrono::hours(1);
  auto queue = make_queue<int>();
  Sender<int>& tx = queue.first;
  Receiver<int>& rx = queue.second;
  std::deque<int> got;
  std::thread urgent([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(tx.send(1));
    EXPECT_FALSE(tx.send(2, /*urgent=*/true));
  });
  EXPECT_TRUE(rx.recv_all(got, kForever));
  urgent.join();
  if (got.size() == 1) {  // woken between the two sends
    EXPECT_TRUE(rx.recv_all(got, kForever));
  }
  EXPECT_EQ(got, (std::deque<int>{1, 2}));

  got.clear();
  std::thread batch([&] {
    for (size_t i = 0; i < kWakeBatch; ++i) EXPECT_FALSE(tx.send(static_cast<int>(i)));
  });
  while (got.size() < kWakeBatch) EXPECT_TRUE(rx.recv_all(got, kForever));
  batch.join();

  // Asleep (no linger): the first item wakes it.
  got.clear();
  std::thread plain([&] { EXPECT_FALSE(tx.send(7)); });
  EXPECT_TRUE(rx.recv_all(got));
  plain.join();
  EXPECT_EQ(got, std::deque<int>{7});

  std::thread leave([&] { auto gone = std::move(tx); });
  EXPECT_FALSE(rx.recv_all(got, kForever));
  leave.join();
}

TEST(Rendezvous, SendWaitsUntilTaken) {
  auto [ack, done] = make_rendezvous();
  std::atomic<bool> sent{false};
  std::thread t([&, ack = std::move(ack)]() mutable {
    EXPECT_TRUE(ack.send());
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(sent.load());
  EXPECT_TRUE(done.recv());
  t.join();
  EXPECT_TRUE(sent.load());
}

TEST(Rendezvous, EitherEndGoneIsADisconnection) {
  {
    auto [ack, done] = make_rendezvous();
    { auto gone = std::move(ack); }
    EXPECT_FALSE(done.recv());
  }
  {
    auto [ack, done] = make_rendezvous();
    { auto gone = std::move(done); }
    EXPECT_FALSE(ack.send());
  }
  {
    // A queued acknowledgement discarded with its queue wakes the waiting side.
    auto [tx, rx] = make_queue<AckSender>();
    auto [ack, done] = make_rendezvous();
    EXPECT_FALSE(tx.send(std::move(ack)));
    std::thread drop([rx = std::move(rx)]() mutable { auto gone = std::move(rx); });
    EXPECT_FALSE(done.recv());
    drop.join();
  }
}

}  // namespace
}  // namespace zel
