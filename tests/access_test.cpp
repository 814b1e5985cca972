// Who may connect: only sockets of sealgate's own user, of the user of the
// process it lives with, or of root reach the relay, over IPv4 or from IPv6
// to the IPv4-mapped address; anyone else is closed without a byte before
// its request is read or a file it names is opened, and costs the log a few
// lines a second however fast it connects.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "support.h"

using namespace testing_support;

namespace {

const std::string k_as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
// How a client writes loopback: IPv4, and the IPv4-mapped address a dual-stack runtime connects to.
const char *const k_loopback_forms[] = {"127.0.0.1", "[::ffff:127.0.0.1]"};

// What "nobody" runs must be where it may run it, not in a checkout under a
// directory only its owner may enter.
const std::string &connect_tool_for_nobody() {
  static temp_dir dir("nobody");
  static std::string copy = [] {
    std::string path = dir.path + "/sealgate-connect";
    std::filesystem::copy_file(SEALGATE_CONNECT_BINARY, path);
    chmod(dir.path.c_str(), 0755);
    return path;
  }();
  return copy;
}

// sealgate-connect run as the user "nobody" (65534), both addresses written
// as `loopback`: its exit status, 3 when the connection was closed without
// the reply, 0 after a relay.
int connect_as_nobody(int sealgate_port, const tls_test_server &server, const std::string &loopback) {
  return run_shell("echo | " + k_as_nobody + connect_tool_for_nobody() + " --sealgate " + loopback + ":" +
                   std::to_string(sealgate_port) + " --server " + loopback + ":" + std::to_string(server.port()) +
                   " --skip-verify --insecure --linger 0 --ca " + shared_pki().path("root.pem"));
}

TEST(Access, AnotherUsersClientIsClosedBeforeItsRequestIsRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_test_server server;
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);  // the CA file its request names
  ASSERT_GE(inotify_add_watch(watch, shared_pki().path("root.pem").c_str(), IN_OPEN), 0);
  for (const char *loopback : k_loopback_forms) EXPECT_EQ(connect_as_nobody(sg.port(), server, loopback), 3) << loopback;
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
    for (const char *loopback : k_loopback_forms) EXPECT_EQ(connect_as_nobody(sg.port(), server, loopback), 0) << loopback;
  }
  kill_and_reap(client);
}

// However fast another user connects, its refusals cost the log a few lines
// a second and a count. Every second connection waits to be closed, the
// others leave at once, before their owner can be known.
TEST(Access, RefusalsCostTheLogAFewLinesASecond) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  sealgate_process sg({"-L", "1"});
  ASSERT_TRUE(sg.started());
  auto lines = [&] {
    std::string log = sg.log();
    return std::count(log.begin(), log.end(), '\n');
  };
  long before = lines();
  std::string flood = "for i in $(seq 400); do exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(sg.port()) +
                      "; [ $((i % 2)) = 0 ] && read -t 3 -u 3; exec 3<&-; done; exit 0";
  ASSERT_EQ(run_shell(k_as_nobody + "bash -c '" + flood + "'", nullptr, 4 * k_wait_ms * k_slowdown), 0);
  EXPECT_TRUE(sg.wait_for_log("more connections from uid 65534 refused"));
  EXPECT_LT(lines() - before, 200) << "each of 400 cost 3 to 5 lines before";
  EXPECT_TRUE(sg.fds_at_baseline());
}

// Both ways the lookup can ask: a connection of this process belongs to its
// user, also from an IPv6 socket to the IPv4-mapped address; an address pair
// no socket of this host has, or a closed one, is not found.
TEST(Access, TheOwnerLookupFindsOnlySocketsOfThisHost) {
  int port = free_port();
  raw_server listener(port, [](int fd) {
    recv_bytes(fd);  // holds the connection until the client closes it
    close(fd);
  });
  int client = connect_tcp(port), v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 mapped = {AF_INET6, htons(static_cast<uint16_t>(port)), 0, {}, 0};
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
  ASSERT_EQ(connect(v6, reinterpret_cast<sockaddr *>(&mapped), sizeof mapped), 0);
  sockaddr_in peer, at = loopback(port);
  socklen_t length = sizeof peer;
  getsockname(client, reinterpret_cast<sockaddr *>(&peer), &length);
  length = sizeof mapped;
  getsockname(v6, reinterpret_cast<sockaddr *>(&mapped), &length);
  uid_t uid = 12345;
  for (owner_source source : {owner_source::netlink, owner_source::proc_net_tcp}) {
    for (const sockaddr_in &from : {peer, loopback(ntohs(mapped.sin6_port))}) {
      EXPECT_EQ(find_socket_owner(from, at, &uid, source), owner_lookup::found);
      EXPECT_EQ(uid, geteuid());
    }
    EXPECT_EQ(find_socket_owner(loopback(1), loopback(2), &uid, source), owner_lookup::not_found);
  }
  // A socket its owner has closed (the kernel may report it as root's) speaks for no one.
  close(client);
  close(v6);
  usleep(100000);
  for (owner_source source : {owner_source::netlink, owner_source::proc_net_tcp})
    EXPECT_EQ(find_socket_owner(peer, at, &uid, source), owner_lookup::not_found);
}

}  // namespace
