// In this process: the options a command line gives, and the hand-off queue
// under many consumers.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "listener.h"

namespace {

TEST(Options, PrefixesPickTheOptionAndTheLastOccurrenceWins) {
  std::vector<const char *> args = {"sealgate", "-size", "1048576", "-shost", "10.0.0.1", "-log", "/x",
                                    "-sp", "1", "-sp", "9000", "-L"};
  startup_settings s;
  ASSERT_TRUE(parse_options(static_cast<int>(args.size()), args.data(), s));
  EXPECT_EQ(s.log_file_size, 1048576);
  EXPECT_EQ(s.socket_host, "10.0.0.1");
  EXPECT_EQ(s.log_path, "/x");
  EXPECT_EQ(s.socket_port, 9000);
  EXPECT_EQ(s.log_level, 3);  // an option without a value keeps its default
  for (std::vector<const char *> wrong : {std::vector<const char *>{"sealgate", "-x"}, {"sealgate", "-sp", "1", "2"}}) {
    startup_settings t;
    EXPECT_FALSE(parse_options(static_cast<int>(wrong.size()), wrong.data(), t));
  }
}

TEST(HandoffQueue, EveryValueReachesExactlyOneOfManyWaitingConsumers) {
  handoff_queue q;
  EXPECT_EQ(q.dequeue(false), QUEUE_EMPTY);
  constexpr int consumers = 8, values = 20000;
  std::mutex lock;
  std::multiset<int64_t> taken;
  std::vector<std::thread> threads;
  for (int i = 0; i < consumers; i++)
    threads.emplace_back([&] {
      for (int64_t v; (v = q.dequeue(true)) != STOP_MARKER;) {
        std::lock_guard<std::mutex> guard(lock);
        taken.insert(v);
      }
    });
  for (int64_t v = 0; v < values; v++) q.enqueue(v);
  for (int i = 0; i < consumers; i++) q.enqueue(STOP_MARKER);
  for (auto &t : threads) t.join();
  ASSERT_EQ(taken.size(), static_cast<size_t>(values));
  for (int64_t v = 0; v < values; v++) ASSERT_EQ(taken.count(v), 1u) << v;
}

}  // namespace
