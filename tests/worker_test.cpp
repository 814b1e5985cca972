// The worker pool through the real binary: spreading, silent and vanishing
// clients, refused requests, shutdown, and no descriptor left behind.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

std::set<std::string> threads_logging(const std::string &log, const std::string &what) {
  std::set<std::string> ids;
  std::regex line(R"(\[\d+,(\d+)\] \[[^\]]+\] )" + what);
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
    ids.insert((*it)[1]);
  return ids;
}

bool wait_fds(pid_t pid, int expected, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (count_open_fds(pid) == expected) return true;
    usleep(20000);
  }
  return false;
}

TEST(Workers, ManyClientsAtOnceAreSpreadOverSeveralWorkersAndLeaveNoDescriptor) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  int baseline = count_open_fds(sg.pid());
  int closed = free_port();
  std::string request = request_json("127.0.0.1:" + std::to_string(closed));
  std::vector<int> clients;
  for (int i = 0; i < 40; i++) clients.push_back(connect_tcp(sg.port()));
  ASSERT_TRUE(sg.wait_for_log("] Connections 40, fd ", 5000));
  for (int fd : clients) send_all(fd, request.data(), request.size());
  for (int fd : clients) {
    bool eof = false;
    EXPECT_EQ(recv_until_eof(fd, 10000, &eof), "");  // refused: closed without a byte
    EXPECT_TRUE(eof);
    close(fd);
  }
  ASSERT_TRUE(sg.wait_for_log("after delete - start_task 1", 5000, 40));
  std::string log = sg.log();
  EXPECT_GE(threads_logging(log, "client fd \\d+ data is ready").size(), 2u);
  EXPECT_TRUE(wait_fds(sg.pid(), baseline, 3000)) << count_open_fds(sg.pid()) << " vs " << baseline;
}

TEST(Workers, SilentClientHoldsNoWorkerAndVanishingClientIsCleanedUp) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  int baseline = count_open_fds(sg.pid());
  int silent = connect_tcp(sg.port());
  ASSERT_TRUE(sg.wait_for_log("] Connections 1, fd ", 3000));
  // Other clients are still served while the silent one waits.
  int closed = free_port();
  for (int i = 0; i < 30; i++) {
    int fd = connect_tcp(sg.port());
    std::string request = request_json("127.0.0.1:" + std::to_string(closed));
    send_all(fd, request.data(), request.size());
    bool eof = false;
    recv_until_eof(fd, 5000, &eof);
    EXPECT_TRUE(eof);
    close(fd);
  }
  // A client that closes before sending anything is read as an empty request.
  int vanishing = connect_tcp(sg.port());
  close(vanishing);
  ASSERT_TRUE(sg.wait_for_log("Unable to parse json  - ", 3000));
  ASSERT_TRUE(sg.wait_for_log(", close it\n", 3000, 1));
  EXPECT_TRUE(wait_fds(sg.pid(), baseline + 1, 3000));  // only the silent client is left
  EXPECT_EQ(sg.stop(), 0);
  bool eof = false;
  recv_until_eof(silent, 2000, &eof);
  EXPECT_TRUE(eof);  // a stopping worker closes what it still holds
  close(silent);
  std::string log = sg.log();
  EXPECT_NE(log.find("] All threads stopped, process will exit now\n"), std::string::npos);
}

TEST(Workers, RequestsWithoutPortUse443AndGarbageIsRefused) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  int fd = connect_tcp(sg.port());
  std::string request = request_json("127.0.0.1");
  send_all(fd, request.data(), request.size());
  bool eof = false;
  recv_until_eof(fd, 10000, &eof);
  EXPECT_TRUE(eof);
  close(fd);
  ASSERT_TRUE(sg.wait_for_log("] server address 127.0.0.1 does not have port appended, using 443 default\n", 3000));
  EXPECT_TRUE(sg.wait_for_log("try connecting 127.0.0.1:443 seconds_per_try 10\n", 3000));

  std::string garbage = std::string("\x01\x02{not json", 11) + std::string(5000, 'z');
  fd = connect_tcp(sg.port());
  send_all(fd, garbage.data(), garbage.size());
  EXPECT_EQ(recv_until_eof(fd, 5000, &eof), "");
  EXPECT_TRUE(eof);
  close(fd);
  EXPECT_TRUE(sg.wait_for_log("Unable to parse server info from client", 3000, 1));
}

}  // namespace
