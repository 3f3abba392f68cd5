#include "src/channel.h"

#include <gtest/gtest.h>

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
