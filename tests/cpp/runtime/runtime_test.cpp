#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/channel.hpp"
#include "runtime/oneshot.hpp"
#include "runtime/runtime.hpp"
#include "test_deadline.hpp"

namespace kestrune::rt {
namespace {

using namespace std::chrono_literals;
using testing_util::kDeadline;
using testing_util::within;

std::unique_ptr<Runtime> make_rt(RuntimeOptions o = {}) {
  auto r = Runtime::create(o);
  EXPECT_TRUE(r.has_value());
  return std::move(*r);
}

TEST(Channel, ManyProducersKeepPerProducerOrderAndCloseAtLastSender) {
  within(kDeadline, [] {
    constexpr int kProducers = 3, kItems = 20000;
    auto [tx, rx] = unbounded_channel<std::pair<int, int>>();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, tx = tx]() mutable {
        for (int i = 0; i < kItems; ++i) ASSERT_TRUE(tx.send({p, i}).has_value());
      });
    }
    tx.close();
    std::vector<int> next(kProducers, 0);
    int total = 0;
    while (auto item = rx.recv()) {
      ASSERT_EQ(item->second, next[item->first]) << "reordered";
      ++next[item->first];
      ++total;
    }
    EXPECT_EQ(total, kProducers * kItems);
    EXPECT_EQ(rx.try_recv().error(), TryRecvError::Closed);
    for (auto& t : producers) t.join();
  });
}

TEST(Channel, TryRecvAndDropSemantics) {
  auto [tx, rx] = unbounded_channel<int>();
  EXPECT_EQ(rx.try_recv().error(), TryRecvError::Empty);
  ASSERT_TRUE(tx.send(1).has_value());
  Sender<int> tx2 = tx;  // a second sender keeps the channel open
  tx.close();
  EXPECT_EQ(rx.try_recv().value(), 1);
  EXPECT_EQ(rx.try_recv().error(), TryRecvError::Empty);
  ASSERT_TRUE(tx2.send(2).has_value());
  tx2.close();
  EXPECT_EQ(rx.recv().value(), 2);  // queued items survive the last sender
  EXPECT_FALSE(rx.recv().has_value());

  auto [tx3, rx3] = unbounded_channel<std::unique_ptr<int>>();
  rx3.close();
  EXPECT_TRUE(tx3.is_closed());
  auto r = tx3.send(std::make_unique<int>(7));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(*r.error().value, 7);  // the item is handed back
}

TEST(Channel, FullBoundedChannelBlocksItsSenderUntilRoom) {
  within(kDeadline, [] {
    auto [tx, rx] = bounded_channel<int>(2);
    ASSERT_TRUE(tx.send(1).has_value());
    ASSERT_TRUE(tx.send(2).has_value());
    EXPECT_EQ(tx.try_send(3).error().kind, TrySendError<int>::Kind::Full);
    std::atomic<bool> third_sent{false};
    std::thread t([&, tx = tx]() mutable {
      ASSERT_TRUE(tx.send(3).has_value());
      third_sent = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(third_sent.load()) << "a full channel must block its sender";
    EXPECT_EQ(rx.recv().value(), 1);
    t.join();
    EXPECT_TRUE(third_sent.load());
    EXPECT_EQ(rx.recv().value(), 2);
    EXPECT_EQ(rx.recv().value(), 3);
  });
}

TEST(Channel, ReceiverDropReleasesBlockedSender) {
  within(kDeadline, [] {
    auto [tx, rx] = bounded_channel<int>(0);  // capacity 0 behaves like 1
    ASSERT_TRUE(tx.send(1).has_value());
    std::thread t([&, tx = tx]() mutable { EXPECT_FALSE(tx.send(2).has_value()); });
    std::this_thread::sleep_for(50ms);
    rx.close();
    t.join();
  });
}

TEST(Executor, AwaitedReceiveWakesOnCrossThreadSends) {
  within(kDeadline, [] {
    auto rt = make_rt();
    auto [tx, rx] = unbounded_channel<int>();
    std::thread producer([tx = std::move(tx)]() mutable {
      for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(tx.send(i).has_value());
        if (i % 500 == 0) std::this_thread::sleep_for(1ms);
      }
    });
    auto consume = [](Receiver<int>& rx) -> Task<int> {
      int expected = 0;
      while (auto v = co_await rx.recv_async()) {
        if (*v != expected) co_return -1;
        ++expected;
      }
      co_return expected;
    };
    EXPECT_EQ(rt->block_on(consume(rx)), 5000);
    producer.join();
  });
}

TEST(Executor, SpawnedTasksInterleaveAndJoin) {
  within(kDeadline, [] {
    auto rt = make_rt();
    auto main = []() -> Task<int> {
      auto [to_b, from_a] = bounded_channel<int>(1);
      auto [to_a, from_b] = unbounded_channel<int>();
      // B echoes every value doubled; A awaits each answer.
      auto b = spawn([](Receiver<int> in, Sender<int> out) -> Task<int> {
        int n = 0;
        while (auto v = co_await in.recv_async()) {
          (void)co_await out.send_async(*v * 2);
          ++n;
        }
        co_return n;
      }(std::move(from_a), std::move(to_a)));
      int sum = 0;
      for (int i = 1; i <= 100; ++i) {
        auto sent = co_await to_b.send_async(i);
        if (!sent) co_return -1;
        sum += *co_await from_b.recv_async();
      }
      to_b.close();
      auto joined = co_await b.join();
      co_return joined.value_or(-1) == 100 ? sum : -2;
    };
    EXPECT_EQ(rt->block_on(main()), 10100);
  });
}

TEST(Executor, AwaitingSendOnFullChannelResumesWhenThreadReceives) {
  within(kDeadline, [] {
    auto rt = make_rt();
    auto [tx, rx] = bounded_channel<int>(1);
    std::thread consumer([rx = std::move(rx)]() mutable {
      int expected = 0;
      while (auto v = rx.recv()) {
        ASSERT_EQ(*v, expected++);
        if (expected % 100 == 0) std::this_thread::sleep_for(1ms);
      }
      EXPECT_EQ(expected, 2000);
    });
    auto produce = [](Sender<int> tx) -> Task<bool> {
      for (int i = 0; i < 2000; ++i)
        if (!co_await tx.send_async(i)) co_return false;
      co_return true;
    };
    EXPECT_TRUE(rt->block_on(produce(std::move(tx))));
    consumer.join();
  });
}

struct DropFlag {
  std::atomic<bool>* flag;
  ~DropFlag() { *flag = true; }
};

TEST(Executor, AbortCancelsTaskAtItsSuspensionPoint) {
  within(kDeadline, [] {
    auto rt = make_rt();
    std::atomic<bool> frame_dropped{false};
    auto [tx, rx] = unbounded_channel<int>();
    auto waiting = rt->spawn([](Receiver<int> rx, std::atomic<bool>* flag) -> Task<int> {
      DropFlag guard{flag};
      auto v = co_await rx.recv_async();  // never gets data
      co_return v.value_or(0);
    }(std::move(rx), &frame_dropped));
    auto result = rt->block_on([](JoinHandle<int>& h) -> Task<JoinResult<int>> {
      co_await yield_now();  // let the task reach its wait
      h.abort();
      co_return co_await h.join();
    }(waiting));
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_TRUE(frame_dropped.load());
    EXPECT_TRUE(tx.is_closed());  // the receiver died with the frame
  });
}

TEST(Executor, EscapingExceptionIsReportedAsPanic) {
  auto rt = make_rt();
  auto h = rt->spawn([]() -> Task<int> {
    throw std::runtime_error("boom");
    co_return 1;
  }());
  auto r = rt->block_on(h.join());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "task panicked: boom");
  EXPECT_THROW(rt->block_on([]() -> Task<void> {
    throw std::logic_error("direct");
    co_return;
  }()),
               std::logic_error);
}

TEST(BlockingPool, ClosuresRunOnPoolThreadsInTheRuntimeContext) {
  within(kDeadline, [] {
    auto rt = make_rt();
    EXPECT_EQ(Runtime::current(), nullptr);
    {
      auto ctx = rt->enter();
      EXPECT_EQ(Runtime::current(), rt.get());
    }
    EXPECT_EQ(Runtime::current(), nullptr);
    Runtime* seen = nullptr;
    auto h = rt->spawn_blocking([&] {
      seen = Runtime::current();
      return 42;
    });
    EXPECT_EQ(h.wait().value(), 42);
    EXPECT_EQ(seen, rt.get());
    auto h2 = rt->spawn_blocking([] { return std::string("x"); });
    EXPECT_EQ(rt->block_on(h2.join()).value(), "x");
  });
}

TEST(BlockingPool, PoolThreadCanBlockOnAnAwaitable) {
  within(kDeadline, [] {
    auto rt = make_rt();
    auto [otx, orx] = oneshot<int>();
    auto h = rt->spawn_blocking([orx = std::move(orx)]() mutable {
      return block_on([](OneshotReceiver<int>& r) -> Task<int> {
        auto v = co_await r.recv_async();
        co_return v.value_or(-1);
      }(orx));
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(otx.send(9).has_value());
    EXPECT_EQ(h.wait().value(), 9);
  });
}

TEST(BlockingPool, GroupBeyondTheLimitIsRefusedWhole) {
  within(kDeadline, [] {
    auto rt = make_rt({.max_blocking_threads = 4});
    std::vector<BlockingJob> three;
    std::atomic<int> ended{0};
    std::vector<Receiver<int>> gates;
    std::vector<Sender<int>> openers;
    for (int i = 0; i < 5; ++i) {
      auto [s, r] = unbounded_channel<int>();
      openers.push_back(std::move(s));
      gates.push_back(std::move(r));
    }
    auto job = [&](int i) -> BlockingJob {
      return [r = std::move(gates[i]), &ended]() mutable {
        (void)r.recv();
        ++ended;
      };
    };
    for (int i = 0; i < 3; ++i) three.push_back(job(i));
    ASSERT_TRUE(rt->spawn_blocking_all(std::move(three)).has_value());
    EXPECT_EQ(rt->blocking_in_use(), 3u);
    std::vector<BlockingJob> two;
    two.push_back(job(3));
    two.push_back(job(4));
    auto refused = rt->spawn_blocking_all(std::move(two));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "needs 2 threads but only 1 of the runtime's 4 blocking threads are free");
    EXPECT_EQ(rt->blocking_in_use(), 3u);
    openers.clear();  // closes every gate: the running jobs end
    rt.reset();       // waits for them
    EXPECT_EQ(ended.load(), 3);
  });
}

TEST(BlockingPool, ClosuresQueuedPastTheLimitWaitAndUnrunOnesAreCancelled) {
  within(kDeadline, [] {
    auto rt = make_rt({.max_blocking_threads = 1});
    auto [gate_tx, gate_rx] = unbounded_channel<int>();
    auto first = rt->spawn_blocking([r = std::move(gate_rx)]() mutable { return r.recv().value_or(-1); });
    auto second = rt->spawn_blocking([] { return 2; });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(second.is_finished()) << "only one thread: the second closure waits";
    ASSERT_TRUE(gate_tx.send(1).has_value());
    EXPECT_EQ(first.wait().value(), 1);
    EXPECT_EQ(second.wait().value(), 2);

    auto [g2_tx, g2_rx] = unbounded_channel<int>();
    auto busy = rt->spawn_blocking([r = std::move(g2_rx)]() mutable { (void)r.recv(); });
    auto never = rt->spawn_blocking([] { return 3; });
    never.abort();
    g2_tx.close();
    EXPECT_TRUE(busy.wait().has_value());
    auto r = never.wait();
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_cancelled());
  });
}

TEST(Runtime, DestructionCancelsPendingTasksAndJoinsThreads) {
  within(kDeadline, [] {
    std::atomic<bool> frame_dropped{false};
    std::atomic<bool> job_done{false};
    JoinHandle<int> pending;
    {
      auto rt = make_rt();
      auto [tx, rx] = unbounded_channel<int>();
      pending = rt->spawn([](Receiver<int> rx, std::atomic<bool>* f) -> Task<int> {
        DropFlag guard{f};
        co_return (co_await rx.recv_async()).value_or(0);
      }(std::move(rx), &frame_dropped));
      rt->block_on(yield_now());  // start it: it now waits on the channel
      (void)rt->spawn_blocking([&] {
        std::this_thread::sleep_for(50ms);
        job_done = true;
      });
    }
    EXPECT_TRUE(frame_dropped.load());
    EXPECT_TRUE(job_done.load()) << "the destructor waits for running closures";
    auto r = pending.wait();
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_cancelled());
  });
}

TEST(Oneshot, ValueNoValueAndClosedReceiver) {
  within(kDeadline, [] {
    auto [tx, rx] = oneshot<int>();
    std::thread t([tx = std::move(tx)]() mutable { ASSERT_TRUE(tx.send(5).has_value()); });
    EXPECT_EQ(rx.recv().value(), 5);
    t.join();

    auto [tx2, rx2] = oneshot<int>();
    EXPECT_EQ(rx2.try_recv().error(), TryRecvError::Empty);
    { auto dropped = std::move(tx2); }
    EXPECT_EQ(rx2.try_recv().error(), TryRecvError::Closed);
    EXPECT_FALSE(rx2.recv().has_value());

    auto [tx3, rx3] = oneshot<int>();
    rx3.close();
    EXPECT_EQ(tx3.send(4).error(), 4);

    auto rt = make_rt();
    auto [tx4, rx4] = oneshot<int>();
    std::thread dropper([tx4 = std::move(tx4)]() mutable {
      std::this_thread::sleep_for(20ms);
      auto gone = std::move(tx4);
    });
    EXPECT_FALSE(rt->block_on(rx4.recv_async()).has_value());
    dropper.join();
  });
}

}  // namespace
}  // namespace kestrune::rt
