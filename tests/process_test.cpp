// The process frame through the real binary: usage, banner, stop paths,
// the watched process, the listener's bind rules and the accept loop.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <unistd.h>

#include "support.h"
#include "tls.h"

using namespace testing_support;

namespace {

const char *const k_usage =
    "Sealgate Server\n"
    "------------------------\n"
    "usage: sealgate -sh <socket host> -sp <socket port> -l <log path> -L <log level> -s <log file size> -p <pid to live with>\n"
    "-sh socket host, kord connection to sealgate, default is 127.0.0.1\n"
    "-sp socket port, kord connection to sealgate, default is 8086\n"
    "-l /path/to/log/file/path, default path is C:\\Program Files\\Corvane\\Morrowvale\\logs\\kord_storage\n"
    "-L log level, default is 3\n"
    "-s log file size, default is 52428800\n"
    "-p pid to live with, default is -1. Once that pid quits, sealgate will quit as well\n";

int count_files(const std::string &dir, const std::string &suffix) {
  int count = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) count++;
    }
    closedir(d);
  }
  return count;
}

TEST(Process, UnknownArgumentPrintsUsageExitsOneAndTouchesNoLog) {
  std::string dir = make_temp_dir("usage");
  child_options options;
  options.stdout_path = dir + "/out.txt";
  pid_t pid = spawn({sealgate_binary(), "-l", dir, "-x"}, options);
  int status = 0;
  ASSERT_TRUE(wait_exit(pid, 5000, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(read_file(dir + "/out.txt"), k_usage);
  EXPECT_EQ(count_files(dir, ".log"), 0);
  remove_tree(dir);
}

TEST(Process, BannerThenSigtermStopsWithExitZero) {
  sealgate_process sg({"-p", "-1"});
  ASSERT_TRUE(sg.started());
  std::string log = sg.log();
  const std::vector<std::string> expected = {"] ===== sealgate parameters =====\n", "] version - \n@(#) sealgate ",
                                             "] pid to check - -1\n", "] log path - " + sg.log_dir() + "\n",
                                             "] Sealgate host:port - 127.0.0.1:" + std::to_string(sg.port()) + "\n"};
  size_t at = 0;
  for (const std::string &line : expected) {
    size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << log;
    at = found;
  }
  EXPECT_NE(log.find("INFO  [" + std::to_string(sg.pid()) + "," + std::to_string(sg.pid()) + "] [main@"),
            std::string::npos);
  EXPECT_NE(log.find("] Created 20 worker threads\n"), std::string::npos);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sg.stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  log = sg.log();
  size_t trying = log.find("] Try to stop worker threads\n");
  size_t stopped = log.find("] All threads stopped, process will exit now\n");
  ASSERT_NE(trying, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(trying, stopped);
}

TEST(Process, EndsByItselfWhenTheWatchedProcessEnds) {
  pid_t watched = spawn({"/bin/sleep", "30"});
  sealgate_process sg({"-p", std::to_string(watched)});
  ASSERT_TRUE(sg.started());
  EXPECT_NE(sg.log().find("] pid to check - " + std::to_string(watched) + "\n"), std::string::npos);
  usleep(300000);
  int status = -1;
  EXPECT_FALSE(sg.wait_exit(10, &status));
  kill(watched, SIGKILL);  // it stays a zombie until reaped: that already counts as ended
  pid_t sealgate_pid = sg.pid();
  ASSERT_TRUE(sg.wait_exit(2000, &status));
  EXPECT_EQ(status, 0);
  waitpid(watched, nullptr, 0);
  std::string log = sg.log();
  EXPECT_NE(log.find("WARN  [" + std::to_string(sealgate_pid)), std::string::npos);
  EXPECT_NE(log.find("] process " + std::to_string(watched) + " exited, stop loop\n"), std::string::npos);
  EXPECT_NE(log.find("] All threads stopped, process will exit now\n"), std::string::npos);
}

TEST(Process, DeadWatchedPidStopsAtTheFirstTurn) {
  pid_t gone = spawn({"/bin/true"});
  waitpid(gone, nullptr, 0);
  std::string dir = make_temp_dir("deadpid");
  pid_t pid = spawn({sealgate_binary(), "-l", dir, "-sp", std::to_string(free_port()), "-p", std::to_string(gone)});
  int status = -1;
  ASSERT_TRUE(wait_exit(pid, 5000, &status));
  EXPECT_EQ(status, 0);
  std::string log = read_logs(dir);
  EXPECT_NE(log.find("] process " + std::to_string(gone) + " exited, stop loop\n"), std::string::npos);
  remove_tree(dir);
}

TEST(Process, SecondInstanceFailsAtBindButARestartBindsOverTimeWait) {
  sealgate_process first;
  ASSERT_TRUE(first.started());
  // A refused request is closed by sealgate first, leaving its side in TIME_WAIT.
  int fd = connect_tcp(first.port());
  send_all(fd, "[]", 2);
  bool eof = false;
  recv_until_eof(fd, 5000, &eof);
  EXPECT_TRUE(eof);
  close(fd);
  std::string dir = make_temp_dir("second");
  pid_t second = spawn({sealgate_binary(), "-l", dir, "-sp", std::to_string(first.port())});
  int status = -1;
  ASSERT_TRUE(wait_exit(second, 5000, &status));
  EXPECT_EQ(status, 1);
  std::string log = read_logs(dir);
  EXPECT_NE(log.find("ERROR [" + std::to_string(second) + "," + std::to_string(second) +
                     "] [server_setup_socket@"), std::string::npos);
  EXPECT_NE(log.find("] socket bind error - 98, Address already in use\n"), std::string::npos) << log;
  EXPECT_EQ(first.stop(), 0);
  pid_t restart = spawn({sealgate_binary(), "-l", dir, "-sp", std::to_string(first.port())});
  usleep(300000);
  EXPECT_FALSE(wait_exit(restart, 10, &status)) << "restart could not bind";
  kill(restart, SIGTERM);
  ASSERT_TRUE(wait_exit(restart, 5000, &status));
  EXPECT_EQ(status, 0);
  remove_tree(dir);
}

TEST(Process, AcceptedConnectionsAreCountedAndQueued) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::vector<int> clients;
  for (int i = 0; i < 3; i++) clients.push_back(connect_tcp(sg.port()));
  ASSERT_TRUE(sg.wait_for_log("] Connections 3, fd ", 5000));
  std::string log = sg.log();
  for (int n = 1; n <= 3; n++) EXPECT_NE(log.find("] Connections " + std::to_string(n) + ", fd "), std::string::npos);
  EXPECT_EQ(count_occurrences(log, "] accept success, client fd: "), 3u);
  for (int fd : clients) close(fd);
}

TEST(Process, LogLevelMinusOneWritesNothingAndHostNamesDoNotBind) {
  std::string dir = make_temp_dir("quiet");
  pid_t pid = spawn({sealgate_binary(), "-l", dir, "-L", "-1", "-sh", "localhost", "-sp", std::to_string(free_port())});
  int status = -1;
  ASSERT_TRUE(wait_exit(pid, 5000, &status));
  EXPECT_EQ(status, 1);  // "localhost" is not a dotted IPv4 address
  EXPECT_EQ(count_files(dir, ".log"), 0);
  remove_tree(dir);
}

// The failure is made by a function only this test calls, never by an input
// of the program.
TEST(Process, TlsSetupAllocationFailureExitsOne) {
  EXPECT_EXIT(
      {
        openssl_setup_fail_next_allocation_for_test();
        openssl_setup setup;
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
