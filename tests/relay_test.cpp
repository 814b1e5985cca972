// The relay: bytes exact both ways and close_notify at the end, bytes owed at
// a close still arrive, renegotiations keep every byte and a stalled one costs
// nothing; each case ends with sealgate's descriptors back at the baseline.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine.h"
#include "listener.h"
#include "log.h"
#include "ocsp.h"
#include "support.h"
#include "tls_setup.h"

using namespace testing_support;
using misbehaviour = tls_server_options::misbehaviour;

namespace {

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
// s2c fills in the middle of a record and the rest waits inside sealgate.
// No socket event will announce it, yet it reaches the client once the
// client reads. A stopping worker then closes what it still holds.
TEST(Worker, BytesHeldInsideReachTheClientAndAStopClosesWhatIsLeft) {
  allow_clients_of(getpid());
  pthread_t worker;
  ASSERT_EQ(pthread_create(&worker, nullptr, fsm_worker_thread, nullptr), 0);
  // 27 records: s2c (262144) fills in the last one
  tls_test_server server({.hold_ms = 300, .echo = false, .source_bytes = 270000, .record_size = 10000});
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

// In this process, the twenty real workers: one relay echoes a ping every
// 20 ms while 40 requests name a server that never answers a SYN
// (SecondsPerTry 5) and 40 name servers whose OCSP responder accepts and
// never answers (its wait set to 2 s). No ping waits 100 ms, each hanging
// client is closed without a byte when its budget is spent, with the lines
// that say why, and every descriptor is given back.
TEST(Worker, ServersThatNeverAnswerHoldUpNoOtherRelay) {
  ocsp_set_wait_for_test(2000);
  allow_clients_of(getpid());
  const test_pki &pki = shared_pki();
  silent_listener unreachable;
  mute_server responder(pki.closed_port);
  std::vector<std::unique_ptr<tls_test_server>> checked;
  for (int i = 0; i < 40; i++) checked.push_back(std::make_unique<tls_test_server>(tls_server_options{.leaf = "closedport"}));
  tls_test_server echo;
  raw_server front(0, [](int fd) {  // sealgate's listener: accepted sockets go to the workers
    fcntl(fd, F_SETFL, O_NONBLOCK);
    g_handoff_queue.enqueue(fd);
  });
  usleep(100000);
  int baseline = count_open_fds(getpid());
  temp_dir logs("stall-log");
  init_log(logs.path.c_str(), "unit", 0, LOG_DEBUG);
  std::vector<pthread_t> workers;
  ASSERT_EQ(create_worker_threads(workers), WORKER_COUNT);

  std::vector<int> relays;  // one for each worker, most likely; the first is pinged
  for (int i = 0; i < WORKER_COUNT; i++) {
    std::string reply;
    relays.push_back(open_relay(front.port(), request_json(addr(echo.port())), &reply));
    ASSERT_EQ(reply, k_status_reply);
  }
  int live = relays[0];
  using clock = std::chrono::steady_clock;
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
  for (int i = 0; i < WORKER_COUNT; i++) g_handoff_queue.enqueue(STOP_MARKER);
  for (pthread_t worker : workers) pthread_join(worker, nullptr);
  g_handoff_queue.close_wake_ups();
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
