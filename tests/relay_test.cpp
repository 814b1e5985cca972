// The data pump through the real binary: byte-exact relays in both
// directions, full buffers, draining after one side closes, resets, and
// bytes the TLS library held back.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine.h"
#include "support.h"
#include "tls.h"

using namespace testing_support;

namespace {

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

// Sends `data` from a thread while reading the same number of bytes back.
std::string echo_through(int fd, const std::string &data, int timeout_ms = 30000) {
  std::thread writer([&] { send_all(fd, data.data(), data.size()); });
  std::string back = recv_bytes(fd, data.size(), timeout_ms);
  writer.join();
  return back;
}

bool wait_fds(pid_t pid, int expected, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (count_open_fds(pid) == expected) return true;
    usleep(20000);
  }
  return false;
}

class Relay : public ::testing::Test {
 protected:
  void start(const tls_server_options &options, std::vector<std::string> args = {"-L", "2"}) {
    server_ = std::make_unique<tls_test_server>(options);
    sg_ = std::make_unique<sealgate_process>(args);
    ASSERT_TRUE(sg_->started());
    baseline_ = count_open_fds(sg_->pid());
  }
  int open() {
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(server_->port())), &reply);
    EXPECT_EQ(reply, k_status_reply);
    return fd;
  }
  void TearDown() override {
    if (sg_) {
      EXPECT_TRUE(wait_fds(sg_->pid(), baseline_)) << "descriptors left open";
      if (HasFailure()) {
        std::string log = sg_->log();
        fprintf(stderr, "%s\n", log.substr(log.size() > 6000 ? log.size() - 6000 : 0).c_str());
        std::string listing = "ls -l /proc/" + std::to_string(sg_->pid()) + "/fd >&2";
        if (system(listing.c_str()) != 0) fprintf(stderr, "no fd listing\n");
      }
    }
    sg_.reset();
    server_.reset();
  }
  std::unique_ptr<tls_test_server> server_;
  std::unique_ptr<sealgate_process> sg_;
  int baseline_ = 0;
};

TEST_F(Relay, EchoRoundTripsFromOneByteToEightMiB) {
  start({});
  for (size_t size : {size_t{1}, size_t{1000}, size_t{262144}, size_t{262145}, size_t{8} << 20}) {
    SCOPED_TRACE(size);
    int fd = open();
    std::string data = deterministic_bytes(size, static_cast<unsigned>(size));
    EXPECT_TRUE(echo_through(fd, data) == data);
    close(fd);
  }
}

TEST_F(Relay, HundredConcurrentClientsEachGetTheirOwnBytes) {
  start({});
  constexpr int clients = 100;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < clients; i++)
    threads.emplace_back([&, i] {
      int fd = open();
      std::string data = deterministic_bytes(65536 + static_cast<size_t>(i) * 17, static_cast<unsigned>(i + 1000));
      if (echo_through(fd, data) == data) good++;
      close(fd);
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(good.load(), clients);
}

TEST_F(Relay, ServerSendsMegabytesThenCloseNotifyWhileTheClientReadsSlowly) {
  tls_server_options options;
  options.mode = server_mode::source_then_close;
  options.source_bytes = 6 << 20;
  start(options, {"-L", "3"});
  int fd = open();
  std::string got;
  char buffer[32768];
  for (int i = 0; i < 2000 && got.size() < options.source_bytes; i++) {
    usleep(i < 20 ? 50000 : 0);  // slow at first, so s2c fills and the server finishes early
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  got += recv_until_eof(fd, 10000);
  EXPECT_EQ(got.size(), options.source_bytes);
  EXPECT_TRUE(got == server_->source_data());
  close(fd);
  ASSERT_TRUE(sg_->wait_for_log("] delete task pointer "));
  std::string log = sg_->log();
  EXPECT_NE(log.find("s2c buffer is full\n"), std::string::npos);
  EXPECT_NE(log.find("] SSL server server closed connection, server fd "), std::string::npos);
}

TEST_F(Relay, ClientBeyondTheBufferWaitsForASlowServerAndNothingIsLost) {
  tls_server_options options;
  options.mode = server_mode::hold_then_echo;
  options.hold_ms = 1500;
  start(options, {"-L", "3"});
  int fd = open();
  std::string data = deterministic_bytes(3 << 20, 99);
  EXPECT_TRUE(echo_through(fd, data) == data);
  close(fd);
  std::string log = sg_->log();
  EXPECT_NE(log.find(" c2s buffer length 262144 capacity 262144\n"), std::string::npos);
}

TEST_F(Relay, BytesPendingForTheServerStillArriveAfterTheClientCloses) {
  tls_server_options options;
  options.mode = server_mode::hold_then_sink;
  options.hold_ms = 1000;
  options.read_pause_us = 500;  // a slow reader: records wait in sealgate for the server's socket
  start(options);
  int fd = open();
  std::string data = deterministic_bytes(4 << 20, 5);
  ASSERT_TRUE(send_all(fd, data.data(), data.size()));
  close(fd);
  auto seen = server_->wait_observations(1, 20000);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].received, data.size());
  EXPECT_TRUE(seen[0].digest_received == data);
}

TEST_F(Relay, ClientResetMidRelayEndsTheTask) {
  tls_server_options options;
  options.mode = server_mode::source_then_close;
  options.source_bytes = 64 << 20;
  start(options);
  int fd = open();
  recv_bytes(fd, 100000);
  struct linger hard = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  ASSERT_TRUE(sg_->wait_for_log("] delete task pointer ", 10000));
}

// The pump's own steps, driven by a small loop in the test: the client side
// is a socket pair whose send path the test fills first, so not one relayed
// byte can leave until the test reads. The server writes 27 records of 10000
// bytes, so s2c (262144) fills in the middle of the last one and the rest of
// that record waits inside the library while the server stays quiet.
TEST(PumpSteps, BytesHeldBackByTheLibraryReachTheClientWithoutNewServerTraffic) {
  tls_server_options options;
  options.mode = server_mode::source_then_hold;
  options.source_bytes = 270000;
  options.source_write_chunk = 10000;
  tls_test_server server(options);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  connection_info info;
  info.server_addr = addr(server.port());
  info.skip_verify = true;
  info.ca_cert_pem_file = shared_pki().path("root.pem");
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  sealgate_task *task = start_task(epoll_fd, new sealgate_task(info, pair[0]));
  ASSERT_NE(task, nullptr);
  // Like the worker: readiness events, plus a read turn for the server side
  // whenever the TLS layer holds bytes that no event will announce.
  bool read_turn = false;
  auto run = [&](int rounds) {
    struct epoll_event events[8];
    for (int r = 0; r < rounds; r++) {
      int n = epoll_wait(epoll_fd, events, 8, read_turn ? 0 : 20);
      if (read_turn) events[n++] = {EPOLLIN, {.fd = task->channel->sfd}};
      read_turn = false;
      for (int i = 0; i < n; i++) {
        task->client_event = events[i].data.fd == task->channel->cfd;
        int rc = task->state == HANDSHAKE ? handshake_server(epoll_fd, task) : forward_data(epoll_fd, events[i].events, task);
        ASSERT_EQ(rc, 0);
        if (task->state == FORWARD && tls_bytes_waiting(task->channel)) read_turn = true;
      }
    }
  };
  for (int i = 0; i < 250 && task->state != FORWARD; i++) run(1);
  ASSERT_EQ(task->state, static_cast<uint32_t>(FORWARD));
  EXPECT_EQ(recv_bytes(pair[1], 22), k_status_reply);
  std::string junk(4096, 'j');
  size_t filled = 0;
  for (ssize_t n; (n = send(pair[0], junk.data(), junk.size(), MSG_DONTWAIT)) > 0;) filled += static_cast<size_t>(n);
  run(50);  // a second of relaying with the client path blocked
  connection_channel *ch = task->channel;
  ASSERT_EQ(ch->s2c.length, CHANNEL_BUFFER_SIZE);
  ASSERT_EQ(SSL_has_pending(ch->ssl), 1);  // the rest of the last record
  ASSERT_FALSE(tls_bytes_waiting(ch));     // but no room for it yet
  std::string got;
  for (int i = 0; i < 500 && got.size() < filled + options.source_bytes; i++) {
    got += recv_bytes(pair[1], filled + options.source_bytes - got.size(), 10);
    run(1);
  }
  ASSERT_EQ(got.size(), filled + options.source_bytes);
  EXPECT_TRUE(got.substr(filled) == server.source_data());
  delete task;  // closes both sockets and sends close_notify
  close(pair[1]);
  close(epoll_fd);
  clear_context_cache();  // as sealgate does at its stop
}

}  // namespace
