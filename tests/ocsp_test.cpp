// The revocation check in this process, with the verdict cache's clock and
// the responder's time set by the test: how long verdicts are kept, what a
// misbehaving responder costs, shared checks, failures of this host.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "channel.h"
#include "task.h"
#include "log.h"
#include "ocsp.h"
#include "support.h"

using namespace testing_support;

namespace {

int64_t g_now;
int64_t fake_now() { return g_now; }

class Ocsp : public ::testing::Test {
 protected:
  void SetUp() override {
    init_log(logs_.path.c_str(), "unit", 0, LOG_DEBUG);
    g_now = 2000000000;
    ocsp_set_clock_for_test(fake_now);
  }
  void TearDown() override {
    clear_ocsp_cache();
    ocsp_set_clock_for_test(nullptr);
    ocsp_set_wait_for_test(0);
    log_reset_for_test();
  }
  static std::unique_ptr<tls_test_server> server(const char *leaf) {
    return std::make_unique<tls_test_server>(tls_server_options{.leaf = leaf});
  }
  // The check as a worker drives it: on its socket's events and its deadline.
  static int check(handshaken_task &t) {
    if (t.task == nullptr) return -99;
    server_check *c = nullptr;
    connection_channel *ch = t.task->channel;
    check_progress p = check_server_certificate(t.task->request.server_addr, ch->ssl, ch->sfd, t.epoll_fd, nullptr, &c);
    for (epoll_event e; p == check_progress::pending; p = continue_server_check(c)) epoll_wait(t.epoll_fd, &e, 1, 5);
    end_server_check(c);
    return p == check_progress::accepted ? 0 : -1;
  }
  temp_dir logs_{"ocsplog"};
  const test_pki &pki_ = shared_pki();
};

TEST_F(Ocsp, AGoodVerdictIsKeptFiveMinutesPerServerAddressText) {
  auto responder = std::make_unique<ocsp_responder>(pki_.ocsp_port);
  auto good = server("good");
  handshaken_task task(good->port()), by_name(good->port(), "localhost:" + std::to_string(good->port()));
  EXPECT_EQ(check(task), 0);
  EXPECT_EQ(responder->requests(), 1);
  responder.reset();  // from here on only the cache can say good
  g_now += 299;
  EXPECT_EQ(check(task), 0);
  EXPECT_EQ(check(by_name), -1) << "another text for the same server shares no verdict";
  g_now += 2;
  EXPECT_EQ(check(task), -1) << "a verdict older than 300 s is checked again";
}

TEST_F(Ocsp, AServerWithoutAReachableResponderIsRefusedFifteenMinutes) {
  auto unreachable = server("closedport");
  handshaken_task task(unreachable->port());
  EXPECT_EQ(check(task), -1);
  ocsp_responder responder(pki_.closed_port);  // the responder is back
  g_now += 899;
  EXPECT_EQ(check(task), -1);
  EXPECT_EQ(responder.requests(), 0);
  g_now += 2;
  EXPECT_EQ(check(task), 0);
  EXPECT_EQ(responder.requests(), 1);
}

// However a responder misbehaves (silent after the request, a byte at a time,
// or headers without end), the exchange ends within its time, and a flood
// ends as soon as it has sent too much.
TEST_F(Ocsp, ASilentTricklingOrFloodingResponderIsCutOff) {
  auto check_against = [&](int wait_ms, std::function<void(int)> respond) {
    ocsp_set_wait_for_test(wait_ms);
    raw_server responder(pki_.closed_port, [&](int fd) {
      char request[4096];
      if (recv(fd, request, sizeof request, 0) > 0 && send_all(fd, "HTTP/1.0 200 OK\r\n")) respond(fd);
      close(fd);
    });
    auto unanswered = server("closedport");
    handshaken_task task(unanswered->port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(task), -1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(eventually([&] { return responder.connections() == 1; }));  // its accept may lag behind
    return took;
  };
  auto silent = [](int fd) { recv_bytes(fd); };
  auto trickle = [](int fd) { for (int i = 0; i < 60 && send_all(fd, "X"); i++) usleep(50000); };
  auto flood = [](int fd) {
    std::string lines;
    for (int i = 0; i < 2048; i++) lines += "X-Filler: " + std::string(20, 'y') + "\r\n";
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < end && send_all(fd, lines);) {
    }
  };
  EXPECT_LT(check_against(300, silent), std::chrono::milliseconds(1500));
  EXPECT_LT(check_against(1000, trickle), std::chrono::milliseconds(2000));
  EXPECT_LT(check_against(5000, flood), std::chrono::milliseconds(1000));
}

TEST_F(Ocsp, ClientsOfOneServerShareOneCheck) {
  ocsp_responder responder(pki_.ocsp_port);
  auto good = server("good");
  std::vector<std::unique_ptr<handshaken_task>> tasks;
  for (int i = 0; i < 8; i++) tasks.push_back(std::make_unique<handshaken_task>(good->port()));
  std::vector<std::thread> workers;
  std::atomic<int> accepted{0};
  for (auto &t : tasks) workers.emplace_back([&] { accepted += check(*t) == 0; });
  for (auto &w : workers) w.join();
  EXPECT_EQ(accepted.load(), 8);
  EXPECT_EQ(responder.requests(), 1);
}

// A check that cannot get a descriptor refuses only its own task: nothing is
// cached, so the next check reaches the responder. A responder socket on
// descriptor 0 (standard input closed) is as good as any.
TEST_F(Ocsp, AFailureOfThisHostIsNotHeldAgainstTheServer) {
  ocsp_responder responder(pki_.ocsp_port);
  auto good = server("good");
  handshaken_task task(good->port());
  rlimit saved, none;
  getrlimit(RLIMIT_NOFILE, &saved);
  none = {static_cast<rlim_t>(dup(0)), saved.rlim_max};  // the lowest free descriptor is the limit
  close(static_cast<int>(none.rlim_cur));
  setrlimit(RLIMIT_NOFILE, &none);
  int starved = check(task);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(starved, -1);
  EXPECT_NE(read_logs(logs_.path).find("Too many open files"), std::string::npos);
  EXPECT_EQ(check(task), 0);
  clear_ocsp_cache();
  int saved_input = dup(0);
  close(0);
  EXPECT_EQ(check(task), 0);
  dup2(saved_input, 0);
  close(saved_input);
}

}  // namespace
