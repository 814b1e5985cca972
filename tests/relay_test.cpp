// The relay: bytes exact both ways and close_notify at the end, bytes owed at
// a close still arrive, renegotiations keep every byte and a stalled one costs
// nothing; each case ends with sealgate's descriptors back at the baseline.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine.h"
#include "listener.h"
#include "log.h"
#include "ocsp.h"
#include "support.h"
#include "task.h"
#include "credentials.h"
#include "tls_setup.h"

using namespace testing_support;
using misbehaviour = tls_server_options::misbehaviour;

namespace {

using steady = std::chrono::steady_clock;

// The twenty real workers in this process, fed by a listener of the test's own.
struct workers_here {
  raw_server front{0, [](int fd) {
                     fcntl(fd, F_SETFL, O_NONBLOCK);
                     g_handoff_queue.enqueue(fd);
                   }};
  std::vector<pthread_t> threads;
  bool start() {
    allow_clients_of(getpid());
    return create_worker_threads(threads) == WORKER_COUNT;
  }
  void stop() {
    for (size_t i = 0; i < threads.size(); i++) g_handoff_queue.enqueue(STOP_MARKER);
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    threads.clear();
    g_handoff_queue.close_wake_ups();
  }
  ~workers_here() { stop(); }
};

class Relay : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sg_.started()); }
  void TearDown() override {
    EXPECT_TRUE(sg_.fds_at_baseline()) << "descriptors left open";
    if (HasFailure()) fprintf(stderr, "%s\n", sg_.log().substr(sg_.log().size() > 8000 ? sg_.log().size() - 8000 : 0).c_str());
  }
  int open(const tls_test_server &server, const std::string &extra = "", int receive_buffer = 0) {
    std::string reply;
    int fd = open_relay(sg_.port(), request_json(addr(server.port()), true, extra), &reply, receive_buffer);
    EXPECT_EQ(reply, k_status_reply);
    return fd;
  }
  sealgate_process sg_;  // logs at the debug level
};

// Many clients at once, each with its own bytes of its own size.
TEST_F(Relay, BytesExactBothWaysFromOneByteToEightMiB) {
  tls_test_server server({.hold_ms = 300});  // the client's bytes fill c2s before the server reads
  std::vector<size_t> sizes = {1, 262145, 8 << 20};
  for (size_t i = 0; i < 30; i++) sizes.push_back(65536 + i * 17);
  std::vector<std::thread> clients;
  std::atomic<size_t> good{0};
  for (size_t size : sizes)
    clients.emplace_back([&, size] {
      int fd = open(server);
      std::string data = deterministic_bytes(size, static_cast<unsigned>(size));
      good += echo_through(fd, data) == data;
      close(fd);
    });
  for (auto &t : clients) t.join();
  EXPECT_EQ(good.load(), sizes.size());
  // Each client left: the server heard close_notify.
  for (const server_observation &seen : server.observations(sizes.size())) EXPECT_TRUE(seen.close_notify);
}

// The client sends and closes at once while the server reads slowly: what
// sealgate still holds for the server (plain or already encrypted) arrives.
TEST_F(Relay, BytesOwedToTheServerArriveAfterTheClientCloses) {
  tls_test_server server({.hold_ms = 500, .read_pause_us = 500, .echo = false});
  std::string data = deterministic_bytes(4 << 20, 5);
  int fd = open(server);
  ASSERT_TRUE(send_all(fd, data));
  close(fd);
  std::string received = server.observations().at(0).received;
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

// The server sends and closes with close_notify while the client reads
// slowly: every byte sealgate read reaches the client, then the end.
TEST_F(Relay, BytesOwedToTheClientArriveAfterTheServerCloses) {
  tls_test_server server({.source_bytes = 6 << 20, .close_after_source = true});
  int fd = open(server, "", 8192);
  usleep(500000);
  bool eof = false;
  std::string got = recv_bytes(fd, std::string::npos, &eof);
  close(fd);
  EXPECT_TRUE(eof);
  EXPECT_TRUE(got == server.source()) << got.size() << " of " << server.source().size() << " bytes";
}

// In this process, the real worker loop on a connection whose way to the
// client is full: the server sends and falls quiet, sealgate reads it all,
// s2c fills at a record's end and the whole records that came with the last
// one wait inside sealgate.
// No socket event will announce it, yet it reaches the client once the
// client reads. A stopping worker then closes what it still holds.
TEST(Worker, BytesHeldInsideReachTheClientAndAStopClosesWhatIsLeft) {
  allow_clients_of(getpid());
  pthread_t worker;
  ASSERT_EQ(pthread_create(&worker, nullptr, fsm_worker_thread, nullptr), 0);
  // 18 records of 16 KiB, the last three at once: s2c (262144) is full after the 16th
  tls_test_server server({.hold_ms = 300, .echo = false, .source_bytes = 18 << 14, .source_burst_from = 15 << 14});
  std::atomic<int> accepted[2] = {-1, -1};
  std::atomic<int> next{0};
  raw_server listener(0, [&](int fd) { accepted[next++] = fd; });
  int client = connect_tcp(listener.port(), 4096), silent = connect_tcp(listener.port());
  ASSERT_TRUE(eventually([&] { return next == 2; }));
  int way = 4096;  // sealgate's side of the client connection, with little room
  setsockopt(accepted[0], SOL_SOCKET, SO_SNDBUF, &way, sizeof way);
  for (int fd : {accepted[0].load(), accepted[1].load()}) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    g_handoff_queue.enqueue(fd);
  }
  send_all(client, request_json(addr(server.port())));
  ASSERT_EQ(recv_bytes(client, k_status_reply.size()), k_status_reply);
  std::string junk(4096, 'j');
  size_t filled = 0;  // fills the way before the server sends: no relayed byte can leave
  for (ssize_t n; (n = send(accepted[0], junk.data(), junk.size(), MSG_DONTWAIT)) > 0;) filled += static_cast<size_t>(n);
  usleep(600000);
  std::string got = recv_bytes(client, filled + server.source().size());
  EXPECT_EQ(got.size(), filled + server.source().size());
  EXPECT_TRUE(got.substr(std::min(filled, got.size())) == server.source());
  g_handoff_queue.enqueue(STOP_MARKER);
  pthread_join(worker, nullptr);
  g_handoff_queue.close_wake_ups();
  EXPECT_TRUE(closed_without_a_byte(silent));
  close(client);
  clear_context_cache();
}

// The hand-off alone: a socket is left to a running worker below the load
// limit; a parked worker is woken when none will take it: none runs below the
// limit, the one that runs has been held inside its steps, or fewer run than
// there are cores.
TEST(HandOff, ARunningWorkerTakesTheSocketAndAParkedOneIsWokenWhenNoneWill) {
  for (size_t cores : {2, 1}) {  // two: the parked worker has an idle core to run on
    handoff_queue queue(cores);
    int wake[2] = {eventfd(0, EFD_NONBLOCK), eventfd(0, EFD_NONBLOCK)};
    std::atomic<int64_t> steps[2] = {0, 0};
    int running = queue.join(wake[0], &steps[0]), parked = queue.join(wake[1], &steps[1]);
    EXPECT_EQ(queue.park(parked, 0), QUEUE_EMPTY);
    EXPECT_EQ(queue.take(running, 1), QUEUE_EMPTY);
    queue.enqueue(7);
    uint64_t count = 0;
    EXPECT_EQ(read(wake[parked], &count, sizeof count) == sizeof count, cores == 2) << cores << " cores";
    queue.leave(running);
    queue.leave(parked);
    queue.close_wake_ups();
  }
  handoff_queue queue(1);
  int wake[2] = {eventfd(0, EFD_NONBLOCK), eventfd(0, EFD_NONBLOCK)};
  std::atomic<int64_t> steps[2] = {0, 0};
  int running = queue.join(wake[0], &steps[0]), parked = queue.join(wake[1], &steps[1]);
  auto woken = [&](int slot) {
    uint64_t count = 0;
    return read(wake[slot], &count, sizeof count) == sizeof count;
  };
  auto held = [](std::atomic<int64_t> &step) {
    step = step_clock_now() - 2 * std::chrono::nanoseconds(STEP_GRACE).count();
  };
  EXPECT_EQ(queue.park(parked, 0), QUEUE_EMPTY);
  EXPECT_EQ(queue.take(running, 1), QUEUE_EMPTY);
  queue.enqueue(7);
  EXPECT_FALSE(woken(parked)) << "left to the running worker";
  EXPECT_EQ(queue.take(running, 1), 7);
  held(steps[running]);
  queue.enqueue(8);
  EXPECT_TRUE(woken(parked)) << "the running worker is held inside its steps";
  EXPECT_EQ(queue.unpark(parked, 0), 8);
  EXPECT_EQ(queue.park(parked, 1), QUEUE_EMPTY);
  steps[running] = step_clock_now();  // just began its steps: still counted on
  queue.enqueue(9);
  EXPECT_FALSE(woken(parked));
  held(steps[running]);
  queue.recheck();  // as the accepting thread does while a socket lingers
  EXPECT_TRUE(woken(parked));
  EXPECT_EQ(queue.unpark(parked, 1), 9);
  EXPECT_EQ(queue.park(parked, 2), QUEUE_EMPTY);
  EXPECT_EQ(queue.park(running, 3), QUEUE_EMPTY);  // none runs: the one holding the most is woken
  queue.enqueue(10);
  EXPECT_TRUE(woken(running));
  EXPECT_FALSE(woken(parked));
  EXPECT_EQ(queue.unpark(running, 3), 10);
  queue.leave(running);
  queue.leave(parked);
  queue.close_wake_ups();
}

// In this process, the twenty real workers: a worker held inside a step (by
// a test hook here, as by a slow name server or key) keeps its own clients
// waiting, not the next one.
TEST(Worker, AWorkerHeldInsideAStepDoesNotHoldUpTheNextClient) {
  static std::atomic<int> held_port{0};
  tls_test_server slow, fast;
  task_set_step_hook_for_test([](const sealgate_task *task) {
    if (task->state == task_state::FORWARD && task->request.server_addr == addr(held_port) && held_port.exchange(0))
      usleep(1500000);
  });
  workers_here sealgate;
  ASSERT_TRUE(sealgate.start());
  std::string reply;
  int held = open_relay(sealgate.front.port(), request_json(addr(slow.port())), &reply);
  held_port = slow.port();
  usleep(100000);
  send_all(held, "ping");  // its worker, asleep until now, is held inside the step
  ASSERT_TRUE(eventually([] { return held_port == 0; }));
  usleep(300000);
  auto sent = steady::now();
  close(open_relay(sealgate.front.port(), request_json(addr(fast.port())), &reply));
  EXPECT_EQ(reply, k_status_reply);
  EXPECT_LT(steady::now() - sent, std::chrono::milliseconds(500 * k_slowdown));
  close(held);
  sealgate.stop();
  task_set_step_hook_for_test(nullptr);
  clear_context_cache();
}

// In this process, the twenty real workers: one relay echoes a ping every
// 20 ms while 40 requests name a server that never answers a SYN
// (SecondsPerTry 5) and 40 name servers whose OCSP responder accepts and
// never answers (its wait set to 2 s). No ping waits 100 ms, each hanging
// client is closed without a byte when its budget is spent, with the lines
// that say why, and every descriptor is given back.
TEST(Worker, ServersThatNeverAnswerHoldUpNoOtherRelay) {
  ocsp_set_wait_for_test(2000);
  allow_clients_of(getpid());  // this thread's owner lookup channel is part of the baseline
  const test_pki &pki = shared_pki();
  silent_listener unreachable;
  mute_server responder(pki.closed_port);
  std::vector<std::unique_ptr<tls_test_server>> checked;
  for (int i = 0; i < 40; i++) checked.push_back(std::make_unique<tls_test_server>(tls_server_options{.leaf = "closedport"}));
  tls_test_server echo;
  workers_here sealgate;
  usleep(100000);
  int baseline = count_open_fds(getpid());
  temp_dir logs("stall-log");
  init_log(logs.path.c_str(), "unit", 0, LOG_DEBUG);
  ASSERT_TRUE(sealgate.start());
  raw_server &front = sealgate.front;

  std::vector<int> relays;  // one for each worker, most likely; the first is pinged
  for (int i = 0; i < WORKER_COUNT; i++) {
    std::string reply;
    relays.push_back(open_relay(front.port(), request_json(addr(echo.port())), &reply));
    ASSERT_EQ(reply, k_status_reply);
  }
  int live = relays[0];
  using clock = steady;
  struct hanging {
    int fd;
    clock::duration budget;
    clock::time_point sent;
    clock::duration took{};
  };
  std::vector<hanging> clients;
  for (int i = 0; i < 80; i++) {
    bool connects = i % 2 == 0;
    int fd = connect_tcp(front.port());
    clients.push_back({fd, std::chrono::milliseconds(connects ? 5000 : 2000), clock::now()});
    send_all(fd, connects ? request_json(addr(unreachable.port()), true, "", 5)
                          : request_json(addr(checked[i / 2]->port()), false));
  }
  clock::duration worst{};
  for (size_t open = clients.size(); open > 0 && clock::now() - clients[0].sent < std::chrono::seconds(6 + 2 * k_slowdown);) {
    auto ping = clock::now();
    ASSERT_TRUE(send_all(live, "ping"));
    ASSERT_EQ(recv_bytes(live, 4), "ping");
    worst = std::max(worst, clock::now() - ping);
    for (hanging &c : clients) {
      char byte;
      if (c.took != clock::duration{} || recv(c.fd, &byte, 1, MSG_DONTWAIT) != 0) continue;
      c.took = clock::now() - c.sent;
      open--;
    }
    usleep(20000);
  }
  EXPECT_LT(worst, std::chrono::milliseconds(100 * k_slowdown)) << "the longest a ping waited";
  EXPECT_LT(busiest_thread_wakeups(500), 100) << "a worker spins once its waits are over";
  for (const hanging &c : clients) {
    EXPECT_GT(c.took, c.budget - std::chrono::milliseconds(100));
    EXPECT_LT(c.took, c.budget + std::chrono::milliseconds(1000 * k_slowdown));
    close(c.fd);
  }
  for (int fd : relays) close(fd);
  sealgate.stop();
  std::string log = read_logs(logs.path);
  auto count = [&](const std::string &text) {
    size_t n = 0;
    for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at++) n++;
    return n;
  };
  std::string timed_out = addr(unreachable.port()) + " - Connection timed out";
  EXPECT_EQ(count(timed_out), 40u);
  EXPECT_EQ(count("Timeout on request fd"), 40u);
  EXPECT_EQ(count("unable to connect to ocsp for server"), 40u);
  responder.hang_up();
  log_reset_for_test();
  EXPECT_TRUE(eventually([&] { return count_open_fds(getpid()) == baseline; })) << "descriptors left open";
  clear_ocsp_cache();
  clear_context_cache();
  ocsp_set_wait_for_test(0);
}

// A server that speaks first sends its greeting with the handshake's last
// message and then waits for the client. However the task reaches the relay
// (it checked the certificate, it waited for another task's check of the
// same server, the verdict was kept, the check was skipped), the greeting
// sealgate already holds reaches the client at once.
TEST_F(Relay, AServerFirstGreetingArrivesOnEveryWayToTheRelay) {
  raw_server responder(shared_pki().ocsp_port, answer_good_after(1000));
  tls_test_server server({.source_bytes = 5, .source_with_finished = true});
  auto greeted = [&](bool verify) {
    int fd = connect_tcp(sg_.port());
    send_all(fd, request_json(addr(server.port()), !verify));
    bool replied = recv_bytes(fd, k_status_reply.size()) == k_status_reply;
    auto since = steady::now();
    bool in_time = replied && recv_bytes(fd, 5) == server.source() && steady::now() - since < std::chrono::seconds(1);
    close(fd);
    return in_time;
  };
  std::atomic<int> greetings{0};
  std::thread checking([&] { greetings += greeted(true); });
  EXPECT_TRUE(greeted(true)) << "the check or the wait for its verdict";
  checking.join();
  EXPECT_EQ(greetings.load(), 1);
  EXPECT_TRUE(greeted(true)) << "a kept verdict";
  EXPECT_TRUE(greeted(false)) << "no check";
}

// A client that leaves while its server's certificate is checked gives the
// check up; the next client asking for that server checks afresh instead of
// waiting for a verdict that will never come.
TEST_F(Relay, AClientLeavingDuringACheckDoesNotHoldUpTheNextOne) {
  raw_server responder(shared_pki().ocsp_port, answer_good_after(1000));
  tls_test_server server;
  int leaving = connect_tcp(sg_.port());
  send_all(leaving, request_json(addr(server.port()), false));
  ASSERT_TRUE(eventually([&] { return responder.connections() == 1; }));
  close(leaving);
  usleep(100000);
  std::string reply;
  close(open_relay(sg_.port(), request_json(addr(server.port()), false), &reply));
  EXPECT_EQ(reply, k_status_reply);
}

// The server asks for new handshakes while the client uploads at full speed
// and reads the echo; also when it asks for the client's certificate in them.
TEST_F(Relay, RenegotiationDuringAFullSpeedUploadKeepsEveryByte) {
  for (bool with_certificate : {false, true}) {
    SCOPED_TRACE(with_certificate);
    tls_test_server server({.renegotiate_every = 256 << 10, .renegotiation_wants_certificate = with_certificate});
    int fd = open(server, with_certificate ? client_key_json(shared_pki().path("pass.txt")) : "");
    std::string data = deterministic_bytes(5 << 20, 11);
    std::string back = echo_through(fd, data);
    close(fd);
    EXPECT_TRUE(back == data) << back.size() << " of " << data.size() << " bytes";
  }
}

// The server streams data of its own while it reads the client's upload and
// asks for new handshakes: records it sends before its answer are data for
// the client, which no write may take for handshake messages.
TEST_F(Relay, RenegotiationsWhileBothSidesStreamKeepEveryByte) {
  tls_test_server server(
      {.echo = false, .source_bytes = 2 << 20, .source_while_reading = true, .renegotiate_every = 64 << 10});
  int fd = open(server);
  std::string data = deterministic_bytes(2 << 20, 13);
  std::thread writer([&] { send_all(fd, data); });
  std::string got = recv_bytes(fd, server.source().size());
  writer.join();
  close(fd);
  EXPECT_TRUE(got == server.source());
  EXPECT_TRUE(server.observations().at(0).received == data);
}

// The server asks for a new handshake and never answers while the client
// sends: sealgate waits without burning CPU or filling the log.
TEST_F(Relay, StalledRenegotiationCostsNoCpuAndNoLog) {
  tls_test_server server({.misbehave = misbehaviour::renegotiate_then_stall});
  int fd = open(server);
  std::thread writer([&] { send_all(fd, deterministic_bytes(1 << 20, 3)); });
  usleep(300000);
  long ticks = cpu_ticks(sg_.pid());
  size_t log_size = sg_.log().size();
  usleep(2000000);
  EXPECT_LT(cpu_ticks(sg_.pid()) - ticks, 40) << "clock ticks in two seconds of waiting";
  EXPECT_LT(sg_.log().size() - log_size, 64u * 1024) << "log bytes in two seconds of waiting";
  shutdown(fd, SHUT_RDWR);
  writer.join();
  close(fd);
}

}  // namespace
