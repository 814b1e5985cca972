// Who may connect: only sockets of sealgate's own user, of the user of the
// process it lives with, or of root reach the relay; anyone else is closed
// without a byte before the request is read or a file is opened.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"
#include "support.h"

using namespace testing_support;

namespace {

constexpr uid_t k_nobody = 65534;

// Connects as `uid` from a child process and sends `request`: 0 when the
// connection was closed without a byte, 1 when the reply came, 2 otherwise.
int connect_as(uid_t uid, int port, const std::string &request) {
  pid_t child = fork();
  if (child == 0) {
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(2);
    int fd = connect_tcp(port);
    if (fd < 0) _exit(2);
    send_all(fd, request.data(), request.size());
    std::string reply = recv_bytes(fd, k_status_reply.size(), 3000);
    if (reply == k_status_reply) _exit(1);
    bool eof = false;
    reply += recv_until_eof(fd, 100, &eof);
    _exit(reply.empty() && eof ? 0 : 2);
  }
  int status = -1;
  EXPECT_TRUE(wait_exit(child, 5000, &status));
  return status;
}

sockaddr_in loopback(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

TEST(Access, AnotherUsersClientIsClosedBeforeItsRequestIsRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  int baseline = count_open_fds(sg.pid());
  tls_test_server server({});
  temp_dir dir("access");
  std::string ca = dir.path + "/ca.pem";
  write_file(ca, read_file(shared_pki().path("root.pem")));
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, ca.c_str(), IN_OPEN), 0);
  std::string request = request_json("127.0.0.1:" + std::to_string(server.port()), true,
                                     "\"CACertPemFile\": \"" + ca + "\"");
  EXPECT_EQ(connect_as(k_nobody, sg.port(), request), 0);
  EXPECT_TRUE(sg.wait_for_log("belongs to uid 65534, not allowed", 3000));
  char event[512];
  EXPECT_LT(read(watch, event, sizeof event), 0) << "the request's CA file was opened";
  EXPECT_EQ(sg.log().find("try to parse server info"), std::string::npos);
  // The same request from sealgate's own user is relayed.
  std::string reply;
  int fd = open_relay(sg.port(), request, &reply, 3000);
  EXPECT_EQ(reply, k_status_reply);
  close(fd);
  for (int i = 0; i < 100 && count_open_fds(sg.pid()) != baseline; i++) usleep(20000);
  EXPECT_EQ(count_open_fds(sg.pid()), baseline);
  close(watch);
}

TEST(Access, TheUserOfTheProcessItLivesWithIsAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  pid_t client = fork();
  if (client == 0) {
    if (setgid(k_nobody) == 0 && setuid(k_nobody) == 0) pause();
    _exit(1);
  }
  usleep(100000);
  {
    sealgate_process sg({"-p", std::to_string(client)});
    ASSERT_TRUE(sg.started());
    tls_test_server server({});
    EXPECT_EQ(connect_as(k_nobody, sg.port(), request_json("127.0.0.1:" + std::to_string(server.port()))), 1);
  }
  kill_and_reap(client);
}

// The lookup itself, both ways it can ask: a connection of this process is
// found with this process's user; an address pair no socket has is not found.
TEST(Access, OwnerLookupFindsOnlySocketsOfThisHost) {
  int port = free_port();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopback(port);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  listen(listener, 4);
  int client = connect_tcp(port);
  sockaddr_in peer;
  socklen_t length = sizeof peer;
  getsockname(client, reinterpret_cast<sockaddr *>(&peer), &length);
  for (owner_source source : {owner_source::netlink, owner_source::proc_net_tcp}) {
    SCOPED_TRACE(static_cast<int>(source));
    uid_t uid = 12345;
    ASSERT_EQ(find_socket_owner(peer, at, &uid, source), owner_lookup::found);
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(find_socket_owner(loopback(1), loopback(2), &uid, source), owner_lookup::not_found);
  }
  close(client);
  close(listener);
}

}  // namespace
