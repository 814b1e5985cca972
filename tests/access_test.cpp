// Who may connect: only sockets of sealgate's own user, of the user of the
// process it lives with, or of root reach the relay; anyone else is closed
// without a byte before its request is read or a file it names is opened.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform.h"
#include "support.h"

using namespace testing_support;

namespace {

// sealgate-connect run as the user "nobody" (65534): its exit status, 3 when
// the connection was closed without the reply, 0 after a relay.
int connect_as_nobody(int sealgate_port, const tls_test_server &server) {
  return run_shell("echo | setpriv --reuid=65534 --regid=65534 --clear-groups " SEALGATE_CONNECT_BINARY " --sealgate " +
                   addr(sealgate_port) + " --server " + addr(server.port()) + " --skip-verify --linger 0 --ca " +
                   shared_pki().path("root.pem"));
}

TEST(Access, AnotherUsersClientIsClosedBeforeItsRequestIsRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_test_server server;
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);  // the CA file its request names
  ASSERT_GE(inotify_add_watch(watch, shared_pki().path("root.pem").c_str(), IN_OPEN), 0);
  EXPECT_EQ(connect_as_nobody(sg.port(), server), 3);
  EXPECT_TRUE(sg.wait_for_log("belongs to uid 65534, not allowed"));
  char event[512];
  EXPECT_LT(read(watch, event, sizeof event), 0) << "a file named by the request was opened";
  close(watch);
  std::string reply;  // sealgate's own user is served
  close(open_relay(sg.port(), request_json(addr(server.port())), &reply));
  EXPECT_EQ(reply, k_status_reply);
  EXPECT_TRUE(sg.fds_at_baseline());
}

TEST(Access, TheUserOfTheProcessItLivesWithIsServed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  pid_t client = spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep", "30"});
  usleep(100000);
  {
    sealgate_process sg({"-p", std::to_string(client)});
    ASSERT_TRUE(sg.started());
    tls_test_server server;
    EXPECT_EQ(connect_as_nobody(sg.port(), server), 0);
  }
  kill_and_reap(client);
}

// Both ways the lookup can ask: a connection of this process belongs to its
// user; an address pair no socket of this host has, or a closed one, is not found.
TEST(Access, TheOwnerLookupFindsOnlySocketsOfThisHost) {
  int port = free_port();
  raw_server listener(port, [](int fd) {
    recv_bytes(fd);  // holds the connection until the client closes it
    close(fd);
  });
  int client = connect_tcp(port);
  sockaddr_in peer, at = loopback(port);
  socklen_t length = sizeof peer;
  getsockname(client, reinterpret_cast<sockaddr *>(&peer), &length);
  uid_t uid = 12345;
  for (owner_source source : {owner_source::netlink, owner_source::proc_net_tcp}) {
    EXPECT_EQ(find_socket_owner(peer, at, &uid, source), owner_lookup::found);
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(find_socket_owner(loopback(1), loopback(2), &uid, source), owner_lookup::not_found);
  }
  // A socket its owner has closed (the kernel may report it as root's) speaks for no one.
  close(client);
  usleep(100000);
  for (owner_source source : {owner_source::netlink, owner_source::proc_net_tcp})
    EXPECT_EQ(find_socket_owner(peer, at, &uid, source), owner_lookup::not_found);
}

}  // namespace
