// Option parsing, the hand-off queue and the listening socket.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "listener.h"
#include "platform.h"
#include "support.h"

namespace {

bool parse(std::vector<const char *> args, startup_settings &settings) {
  args.insert(args.begin(), "sealgate");
  return parse_options(static_cast<int>(args.size()), args.data(), settings);
}

TEST(Options, DefaultsPrefixMatchingAndAtoiRules) {
  startup_settings s;
  ASSERT_TRUE(parse({}, s));
  EXPECT_EQ(s.socket_host, "127.0.0.1");
  EXPECT_EQ(s.socket_port, 8086);
  EXPECT_EQ(s.log_level, 3);
  EXPECT_EQ(s.log_file_size, 52428800);
  EXPECT_EQ(s.pid, -1);

  startup_settings t;
  ASSERT_TRUE(parse({"-size", "1048576", "-shost", "10.0.0.1", "-L", "-1", "-pid", "  +42x", "-log", "/x"}, t));
  EXPECT_EQ(t.log_file_size, 1048576);
  EXPECT_EQ(t.socket_host, "10.0.0.1");
  EXPECT_EQ(t.log_level, -1);
  EXPECT_EQ(t.pid, 42);
  EXPECT_EQ(t.log_path, "/x");  // "-log" begins with "-l"

  startup_settings u;
  ASSERT_TRUE(parse({"-s", "127.0.0.1", "-sp", "abc", "-sp", "9000", "-sp"}, u));
  EXPECT_EQ(u.log_file_size, 127);  // conversion stops at the first non-digit
  EXPECT_EQ(u.socket_port, 9000);   // a later occurrence overrides; a trailing option keeps it
}

TEST(Options, UnknownArgumentOrValueInOptionPlaceIsRefused) {
  startup_settings s;
  EXPECT_FALSE(parse({"-x"}, s));
  EXPECT_FALSE(parse({"-sp", "1", "2"}, s));
  EXPECT_FALSE(parse({"sh", "1"}, s));
}

TEST(HandoffQueue, EmptyTakeWithoutWaitingAndFifoOrder) {
  handoff_queue q;
  EXPECT_EQ(q.dequeue(false), QUEUE_EMPTY);
  q.enqueue(5);
  q.enqueue(STOP_MARKER);
  q.enqueue(7);
  EXPECT_EQ(q.approximate_size(), 3u);
  EXPECT_EQ(q.dequeue(false), 5);
  EXPECT_EQ(q.dequeue(true), STOP_MARKER);
  EXPECT_EQ(q.dequeue(false), 7);
  EXPECT_EQ(q.approximate_size(), 0u);
}

TEST(HandoffQueue, EveryValueIsTakenExactlyOnceBySeveralWaitingConsumers) {
  handoff_queue q;
  constexpr int consumers = 8, values = 20000;
  std::mutex lock;
  std::multiset<int64_t> taken;
  std::vector<std::thread> threads;
  for (int i = 0; i < consumers; i++)
    threads.emplace_back([&] {
      for (;;) {
        int64_t v = q.dequeue(true);
        if (v == STOP_MARKER) return;
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

TEST(HandoffQueue, OnePushWakesOneOfTwoWaitersAndTheOtherWaitsOn) {
  handoff_queue q;
  std::atomic<int> got{0};
  std::thread a([&] { if (q.dequeue(true) == 1) got++; });
  std::thread b([&] { if (q.dequeue(true) == 1) got++; });
  for (int i = 0; i < 200 && q.waiting() < 2; i++) usleep(5000);
  ASSERT_EQ(q.waiting(), 2);
  q.enqueue(1);
  for (int i = 0; i < 200 && got.load() == 0; i++) usleep(5000);
  usleep(50000);
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(q.waiting(), 1);
  q.enqueue(2);
  a.join();
  b.join();
  EXPECT_EQ(q.waiting(), 0);
}

TEST(Listener, BindRulesAndSecondLiveListenerFails) {
  int port = testing_support::free_port();
  int first = server_setup_socket("127.0.0.1", port + 65536);  // only the low 16 bits count
  ASSERT_GE(first, 0);
  EXPECT_EQ(server_setup_socket("127.0.0.1", port), -1);
  close(first);
  EXPECT_EQ(server_setup_socket("localhost", port), -1);  // dotted IPv4 only
  int again = server_setup_socket("127.0.0.1", port);
  EXPECT_GE(again, 0);
  close(again);
}

TEST(Platform, ProcessLiveness) {
  EXPECT_TRUE(is_process_alive(getpid()));
  EXPECT_TRUE(is_process_alive(1));  // alive, whether or not we may signal it
  EXPECT_FALSE(is_process_alive(0));
  EXPECT_FALSE(is_process_alive(-7));
  pid_t child = fork();
  if (child == 0) _exit(0);
  for (int i = 0; i < 200; i++) {  // a zombie has ended
    if (!is_process_alive(child)) break;
    usleep(5000);
  }
  EXPECT_FALSE(is_process_alive(child));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(is_process_alive(child));
}

}  // namespace
