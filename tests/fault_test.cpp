// Exhaustion and faults: descriptor exhaustion, peers that reset at odd
// moments, OCSP responders that misbehave and clients that send rubbish.
// After each, sealgate still serves a normal request and holds no more
// descriptors than before.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

bool wait_fds(pid_t pid, int expected, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (count_open_fds(pid) == expected) return true;
    usleep(20000);
  }
  return false;
}

// A plain TCP listener on a given port, answering each connection with `behave`.
class raw_server {
 public:
  raw_server(int port, std::function<void(int)> behave) : behave_(std::move(behave)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd_, 64);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept(fd_, nullptr, nullptr);
        if (c >= 0) behave_(c);
      }
    });
  }
  ~raw_server() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

 private:
  int fd_;
  std::atomic<bool> stop_{false};
  std::function<void(int)> behave_;
  std::thread thread_;
};

void reset(int fd) {
  linger hard = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

class Faults : public ::testing::Test {
 protected:
  void start(const child_options &options = {}) {
    sg_ = std::make_unique<sealgate_process>(std::vector<std::string>{"-L", "3"}, options);
    ASSERT_TRUE(sg_->started());
    baseline_ = count_open_fds(sg_->pid());
  }
  // A normal request still works, and nothing is left open.
  void expect_healthy() {
    tls_test_server server({});
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(server.port())), &reply);
    EXPECT_EQ(reply, k_status_reply);
    send_all(fd, "still here", 10);
    EXPECT_EQ(recv_bytes(fd, 10), "still here");
    close(fd);
    EXPECT_TRUE(wait_fds(sg_->pid(), baseline_)) << count_open_fds(sg_->pid()) << " open, baseline " << baseline_;
  }
  std::unique_ptr<sealgate_process> sg_;
  int baseline_ = 0;
};

TEST_F(Faults, DescriptorExhaustionPausesAcceptingAndRecoversByItself) {
  child_options low;
  low.nofile_limit = 64;
  start(low);
  std::vector<int> clients;
  for (int i = 0; i < 80; i++) {
    int fd = connect_tcp(sg_->port());  // the kernel completes these even when sealgate cannot accept
    if (fd >= 0) clients.push_back(fd);
  }
  ASSERT_TRUE(sg_->wait_for_log(
      "] Unable to accept client connection, pause to accept new request - 24, Too many open files\n", 5000));
  for (int fd : clients) close(fd);
  // The backlog drains as descriptors come free: every waiting client is
  // accepted and, having sent nothing before closing, refused.
  ASSERT_TRUE(sg_->wait_for_log("] Connections 80, fd ", 10000));
  expect_healthy();
}

TEST_F(Faults, ServersThatResetDuringTheHandshakeOrTheRelay) {
  start();
  // Raw servers that read a number of bytes of the handshake and then reset.
  for (size_t after : {size_t{0}, size_t{1}, size_t{5}, size_t{100}, size_t{4000}}) {
    int port = free_port();
    raw_server server(port, [after](int fd) {
      std::string got = recv_bytes(fd, after, 500);
      (void)got;
      reset(fd);
    });
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(port)), &reply);
    EXPECT_EQ(reply, "") << after;
    close(fd);
  }
  // A TLS server that streams and then resets without close_notify.
  tls_server_options options;
  options.mode = server_mode::source_then_close;
  options.source_bytes = 1 << 20;
  {
    tls_test_server streaming(options);
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(streaming.port())), &reply);
    EXPECT_EQ(reply, k_status_reply);
    std::string got = recv_until_eof(fd, 10000);
    EXPECT_TRUE(got == streaming.source_data());
    close(fd);
  }
  // A TLS server that reads nothing and resets while the client is still
  // sending: sealgate holds encrypted records for it when the reset comes.
  options.mode = server_mode::hold_then_reset;
  options.hold_ms = 500;
  {
    tls_test_server silent(options);
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(silent.port())), &reply);
    EXPECT_EQ(reply, k_status_reply);
    std::string data = deterministic_bytes(16 << 20, 7);
    std::thread writer([&] { send_all(fd, data.data(), data.size()); });
    recv_until_eof(fd, 10000);  // the client is closed once the server side has ended
    shutdown(fd, SHUT_RDWR);    // lets a writer still blocked in send give up
    writer.join();
    close(fd);
    EXPECT_TRUE(sg_->wait_for_log("] SYSCALL I/O error on server fd ", 5000));
  }
  // (A reset that beats the connect's completion ends the task in start_task,
  // without a "delete task pointer" line, so the descriptors tell.)
  expect_healthy();
}

TEST_F(Faults, ResponderAnsweringGarbageAnErrorOrNothing) {
  const test_pki &pki = shared_pki();
  start();
  tls_server_options options;
  options.cert = pki.path("closedport.chain.pem");
  options.key = pki.path("closedport.key");
  const std::string answers[] = {
      "HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: 9\r\n\r\n\x30\x07garbage",
      "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n",
      "not http at all\r\n\r\n",
      "",
  };
  int round = 0;
  for (const std::string &answer : answers) {
    SCOPED_TRACE(round++);
    raw_server responder(pki.closed_port, [answer](int fd) {
      recv_bytes(fd, 1, 2000);
      usleep(50000);
      if (!answer.empty()) send_all(fd, answer.data(), answer.size());
      close(fd);
    });
    tls_test_server server(options);  // a new port each round, so the verdict is not cached
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(server.port()), false), &reply, 20000);
    EXPECT_EQ(reply, "");
    close(fd);
    ASSERT_TRUE(sg_->wait_for_log("] Server certificate verification is invalid fd ", 10000, round));
  }
  std::string log = sg_->log();
  EXPECT_NE(log.find("] Error querying OCSP responder\n"), std::string::npos);
  expect_healthy();
}

TEST_F(Faults, ClientsThatSendRubbishOrVanish) {
  start();
  std::vector<std::string> inputs = {
      std::string(5000, '{'),                                       // longer than one read
      std::string("{\"ServerAddr\": \"a:1\"\0garbage", 29),         // NUL inside
      std::string("\xff\xfe\x00\x01", 4),                           // binary
      "{\"ServerAddr\": \"127.0.0.1:" + std::to_string(free_port()),  // cut short
  };
  for (const std::string &input : inputs) {
    int fd = connect_tcp(sg_->port());
    send_all(fd, input.data(), input.size());
    bool eof = false;
    EXPECT_EQ(recv_until_eof(fd, 10000, &eof), "");
    EXPECT_TRUE(eof);
    close(fd);
  }
  for (int i = 0; i < 20; i++) close(connect_tcp(sg_->port()));  // connect and vanish
  for (int i = 0; i < 5; i++) reset(connect_tcp(sg_->port()));
  ASSERT_TRUE(sg_->wait_for_log("] Connections 29, fd ", 5000));
  expect_healthy();
}

}  // namespace
