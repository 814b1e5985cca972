// The process frame: the command line, the usage text, the log's file name,
// what a started process shows from outside (SIGPIPE ignored, the open-files
// limit raised), the stop paths, the watched process, the listener's bind
// rules, a failed start told on standard error, an exhausted descriptor
// table, a FIFO at the log file's name and a failed TLS set-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <regex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "listener.h"
#include "support.h"
#include "credentials.h"
#include "tls_setup.h"

using namespace testing_support;

namespace {

TEST(Process, UnknownArgumentPrintsTheUsageTextAndExitsOneWithoutALog) {
  temp_dir dir("usage");
  pid_t pid = spawn({SEALGATE_BINARY, "-l", dir.path, "-x"}, {0, dir.path + "/out.txt"});
  int status = 0;
  ASSERT_TRUE(wait_exit(pid, k_wait_ms, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(read_file(dir.path + "/out.txt"),
            "Sealgate Server\n"
            "------------------------\n"
            "usage: sealgate -sh <socket host> -sp <socket port> -l <log path> -L <log level> -s <log file size> -p "
            "<pid to live with>\n"
            "-sh socket host, kord connection to sealgate, default is 127.0.0.1\n"
            "-sp socket port, kord connection to sealgate, default is 8086\n"
            "-l /path/to/log/file/path, default path is C:\\Program Files\\Corvane\\Morrowvale\\logs\\kord_storage\n"
            "-L log level, default is 3\n"
            "-s log file size, default is 52428800\n"
            "-p pid to live with, default is -1. Once that pid quits, sealgate will quit as well\n");
  EXPECT_EQ(read_logs(dir.path), "");
}

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
  startup_settings defaults;
  EXPECT_EQ(defaults.socket_host + ":" + std::to_string(defaults.socket_port), "127.0.0.1:8086");
  for (std::vector<const char *> wrong : {std::vector<const char *>{"sealgate", "-x"}, {"sealgate", "-sp", "1", "2"}}) {
    startup_settings t;
    EXPECT_FALSE(parse_options(static_cast<int>(wrong.size()), wrong.data(), t));
  }
}

// A process started with a low open-files limit: it ignores SIGPIPE (a write
// to a peer that has gone is an error, not its end), has raised the soft
// limit to the hard one, and SIGTERM or SIGINT runs its stop sequence.
TEST(Process, LogFileNameAndLinePrefixAndASignalStopsWithZero) {
  for (int stop_signal : {SIGTERM, SIGINT}) {
    rlimit inherited, low;
    getrlimit(RLIMIT_NOFILE, &inherited);
    low = {256, inherited.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    sealgate_process sg;
    setrlimit(RLIMIT_NOFILE, &inherited);
    ASSERT_TRUE(sg.started());
    char name[64];
    time_t now = time(nullptr);
    strftime(name, sizeof name, "/sealgate.%m%d%Y_00000.log", localtime(&now));
    std::string first = read_file(sg.log_dir() + name), pid = std::to_string(sg.pid());
    EXPECT_TRUE(std::regex_search(first, std::regex("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3} INFO  \\[" +
                                                    pid + "," + pid + "\\] \\[main@\\d+\\] ")))
        << first.substr(0, 200);
    std::string status = read_file("/proc/" + pid + "/status"), limits = read_file("/proc/" + pid + "/limits");
    EXPECT_EQ(std::stoull(status.substr(status.find("SigIgn:") + 7), nullptr, 16) >> (SIGPIPE - 1) & 1, 1u);
    EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +" + std::to_string(inherited.rlim_max) + " +" +
                                                     std::to_string(inherited.rlim_max) + " ")));
    auto start = std::chrono::steady_clock::now();
    kill(sg.pid(), stop_signal);
    int exit_status = -1;
    EXPECT_TRUE(sg.wait_exit(k_wait_ms, &exit_status));
    EXPECT_EQ(exit_status, 0) << strsignal(stop_signal);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(sg.log().find("All threads stopped"), std::string::npos);
  }
}

TEST(Process, EndsWithTheProcessItLivesWith) {
  pid_t watched = spawn({"/bin/sleep", "30"});
  sealgate_process sg({"-p", std::to_string(watched)});
  ASSERT_TRUE(sg.started());
  int status = -1;
  EXPECT_FALSE(sg.wait_exit(300, &status));
  kill(watched, SIGKILL);  // a zombie until reaped: that already counts as ended
  EXPECT_TRUE(sg.wait_exit(k_wait_ms, &status));
  EXPECT_EQ(status, 0);
  waitpid(watched, nullptr, 0);
  // A process that has already gone stops sealgate at its first turn.
  sealgate_process late({"-p", std::to_string(watched)});
  EXPECT_TRUE(late.wait_exit(k_wait_ms, &status));
  EXPECT_EQ(status, 0);
}

TEST(Process, ASecondInstanceCannotBindButARestartBindsOverTimeWait) {
  auto first = std::make_unique<sealgate_process>();
  ASSERT_TRUE(first->started());
  int fd = connect_tcp(first->port());  // refused and closed by sealgate first: its side waits in TIME_WAIT
  send_all(fd, "[]");
  EXPECT_TRUE(closed_without_a_byte(fd));
  std::string port = std::to_string(first->port());
  temp_dir dir("second");
  int status = -1;  // its log directory missing too: standard error alone tells why it did not start
  ASSERT_TRUE(wait_exit(spawn({SEALGATE_BINARY, "-l", dir.path + "/none", "-sp", port}, {0, dir.path + "/out.txt"}),
                        k_wait_ms, &status));
  EXPECT_EQ(status, 1);
  std::string told = read_file(dir.path + "/out.txt");
  EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
  EXPECT_NE(told.find(strerror(EADDRINUSE)), std::string::npos) << told;
  first.reset();
  pid_t restart = spawn({SEALGATE_BINARY, "-l", dir.path, "-sp", port});
  EXPECT_FALSE(wait_exit(restart, 500, &status)) << "a restart could not bind";
  kill(restart, SIGTERM);
  EXPECT_TRUE(wait_exit(restart, k_wait_ms, &status));
  EXPECT_EQ(status, 0);
}

// Out of descriptors, the accept loop pauses and resumes by itself: clients
// left waiting in the backlog are all taken once descriptors come free.
TEST(Process, AnExhaustedDescriptorTableIsSurvived) {
  child_options low;
  low.nofile_limit = 96;  // about 65 are the process's own: per worker an epoll set, a wake-up fd and a netlink socket
  sealgate_process sg({"-L", "3"}, low);
  ASSERT_TRUE(sg.started());
  std::vector<int> clients;
  for (int i = 0; i < 60; i++) clients.push_back(connect_tcp(sg.port()));
  ASSERT_TRUE(sg.wait_for_log("Too many open files"));
  for (int fd : clients) close(fd);
  EXPECT_TRUE(sg.fds_at_baseline()) << "clients left in the backlog were not all taken and closed";
  tls_test_server server;
  std::string reply;
  close(open_relay(sg.port(), request_json(addr(server.port())), &reply));
  EXPECT_EQ(reply, k_status_reply);
}

// A FIFO planted at the log file's name (in a directory others may write)
// is passed over at once: sealgate neither waits for a reader nor stops
// hearing SIGTERM.
TEST(Process, AFifoAtTheLogFileNameHoldsNothingUp) {
  temp_dir dir("fifo");
  char name[64];
  time_t now = time(nullptr);
  strftime(name, sizeof name, "/sealgate.%m%d%Y_0000", localtime(&now));
  ASSERT_EQ(mkfifo((dir.path + name + "0.log").c_str(), 0600), 0);
  int port = free_port(), status = -1;
  pid_t pid = spawn({SEALGATE_BINARY, "-l", dir.path, "-sp", std::to_string(port)});
  EXPECT_TRUE(eventually([&] { return read_file(dir.path + name + "1.log").find("Listening on socket") != std::string::npos; }));
  tls_test_server server;
  std::string reply;
  close(open_relay(port, request_json(addr(server.port())), &reply));
  EXPECT_EQ(reply, k_status_reply);
  kill(pid, SIGTERM);
  bool stopped = wait_exit(pid, k_wait_ms, &status);
  if (!stopped) kill_and_reap(pid);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(status, 0);
}

// The failure is made by a function only this test calls, never by an input
// of the program.
TEST(Process, AFailedTlsSetUpExitsWithOne) {
  EXPECT_EXIT(
      {
        openssl_setup_fail_next_allocation_for_test();
        openssl_setup setup;
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
