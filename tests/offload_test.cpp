// Slow work leaves the workers' loop: names that only a dead name server
// could answer, keys too costly to decrypt and large request files hold up
// no relay, and the contexts kept stay within their memory bound.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "credentials.h"
#include "support.h"

using namespace testing_support;
using steady = std::chrono::steady_clock;

namespace {

// Pings the relay `live` every 20 ms until `done` or `seconds` have passed;
// the longest one ping waited for its echo.
steady::duration worst_echo_gap(int live, const std::function<bool()> &done, int seconds) {
  steady::duration worst{};
  for (auto until = steady::now() + std::chrono::seconds(seconds); !done() && steady::now() < until;) {
    auto ping = steady::now();
    if (!send_all(live, "ping") || recv_bytes(live, 4) != "ping") return std::chrono::hours(1);
    worst = std::max(worst, steady::now() - ping);
    usleep(20000);
  }
  return worst;
}

// Each client closed without a byte, so far.
bool all_closed(const std::vector<int> &clients) {
  for (int fd : clients) {
    char byte;
    if (recv(fd, &byte, 1, MSG_DONTWAIT) != 0) return false;
  }
  return true;
}

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
  return n;
}

// sealgate in a mount namespace whose resolv.conf names a loopback name
// server that never answers (one second, one attempt). 40 requests naming
// hosts only it could resolve hold up neither a live relay nor a request
// naming localhost, which the hosts file answers; each ends with its line.
TEST(Offload, NamesOnlyADeadNameServerKnowsHoldUpNoRelay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a name server on port 53 and a mount namespace";
  int mute = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopback(53);
  at.sin_addr.s_addr = htonl(0x7f000000 | static_cast<uint32_t>(getpid() % 0xfffe + 1) << 8 | 53);
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &at.sin_addr, address, sizeof address);
  if (bind(mute, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) GTEST_SKIP() << "no name server address";
  temp_dir dir("resolv");
  write_file(dir.path + "/resolv.conf", std::string("nameserver ") + address + "\noptions timeout:1 attempts:1\n");
  sealgate_process sg({"-L", "3"}, {.resolv_conf = dir.path + "/resolv.conf"});
  if (!sg.started()) GTEST_SKIP() << "no mount namespace here";
  tls_test_server echo;
  std::string reply;
  int live = open_relay(sg.port(), request_json(addr(echo.port())), &reply);
  ASSERT_EQ(reply, k_status_reply);
  std::vector<int> unresolved;
  for (int i = 0; i < 40; i++) {
    unresolved.push_back(connect_tcp(sg.port()));
    send_all(unresolved.back(), request_json("host-" + std::to_string(i) + ".nowhere.example:443"));
  }
  auto sent = steady::now();
  close(open_relay(sg.port(), request_json("localhost:" + std::to_string(echo.port())), &reply));
  EXPECT_EQ(reply, k_status_reply);
  EXPECT_LT(steady::now() - sent, std::chrono::milliseconds(300 * k_slowdown)) << "localhost waited";
  EXPECT_LT(worst_echo_gap(live, [&] { return all_closed(unresolved); }, 3 * k_slowdown), std::chrono::milliseconds(100));
  EXPECT_TRUE(all_closed(unresolved));
  EXPECT_TRUE(eventually([&] { return count(sg.log(), "nowhere.example:443 - ") == 40; }));
  for (int fd : unresolved) close(fd);
  close(live);
  close(mute);
  EXPECT_TRUE(sg.fds_at_baseline());
}

// 20 requests name a key whose derivation would take seconds each: each is
// refused with its line before anything is derived, and a live relay on the
// same workers never waits.
TEST(Offload, AKeyTooCostlyToDecryptIsRefusedAndHoldsUpNoRelay) {
  const test_pki &pki = shared_pki();
  sealgate_process sg;
  tls_test_server echo;
  std::string reply;
  int live = open_relay(sg.port(), request_json(addr(echo.port())), &reply);
  ASSERT_EQ(reply, k_status_reply);
  std::vector<int> refused;
  std::string costly = "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" +
                       pki.path("slow.enc.key") + "\", \"PassPhraseFile\": \"" + pki.path("pass.txt") + "\"";
  for (int i = 0; i < 20; i++) {
    refused.push_back(connect_tcp(sg.port()));
    send_all(refused.back(), request_json(addr(echo.port()), true, costly));
  }
  EXPECT_LT(worst_echo_gap(live, [&] { return false; }, 1), std::chrono::milliseconds(100));
  for (int fd : refused) EXPECT_TRUE(closed_without_a_byte(fd));
  EXPECT_EQ(count(sg.log(), "slow.enc.key: the key's derivation costs more"), 20);
  close(live);
}

// 64 requests name distinct links to one chain of some 4,000 certificates
// (2.5 MiB of PEM): the context it makes is built once and kept once, and
// sealgate's memory stays within the bound of what kept contexts hold.
TEST(Offload, LinksToOneLargeChainAreBuiltOnceAndKeptOnce) {
  const test_pki &pki = shared_pki();
  temp_dir dir("chains");
  std::string chain = read_file(pki.path("client.chain.pem")), root = read_file(pki.path("root.pem"));
  while (chain.size() < 2500000) chain += root;
  write_file(dir.path + "/chain.pem", chain);
  sealgate_process sg;
  tls_test_server server;
  auto rss_kib = [&] {
    std::string status = read_file("/proc/" + std::to_string(sg.pid()) + "/status");
    return atol(status.c_str() + status.find("VmRSS:") + 6);
  };
  long before = rss_kib();
  for (int i = 0; i < 64; i++) {
    std::string link = dir.path + "/link" + std::to_string(i) + ".pem";
    std::filesystem::create_symlink(dir.path + "/chain.pem", link);
    std::string reply, files = "\"CertFile\": \"" + link + "\", \"KeyFile\": \"" + pki.path("client.enc.key") +
                               "\", \"PassPhraseFile\": \"" + pki.path("pass.txt") + "\"";
    // The first builds the context: parsing a chain this long takes a moment.
    close(open_relay(sg.port(), request_json(addr(server.port()), true, files), &reply, 0, 4 * k_wait_ms * k_slowdown));
    ASSERT_EQ(reply, k_status_reply);
  }
  usleep(500000);  // the workers' quiet cycles give the allocator's free pages back
  if (k_slowdown == 1) {  // a sanitizer's allocator keeps what is freed
    EXPECT_LT(rss_kib() - before, static_cast<long>(CONTEXT_CACHE_BYTES / 1024) + 16 * 1024);
  }
}

// The bound itself: contexts of distinct files, each counted at some 8 MiB
// (a chain file padded with text), never hold more than it together.
TEST(Offload, KeptContextsHoldNoMoreThanTheirBound) {
  const test_pki &pki = shared_pki();
  temp_dir dir("bound");
  for (int i = 0; i < 8; i++) {
    std::string chain = dir.path + "/chain" + std::to_string(i) + ".pem";
    write_file(chain, std::string(1 << 20, '#') + "\n" + read_file(pki.path("client.chain.pem")));
    connection_info request;
    request.cert_file = chain;
    request.key_file = pki.path("client.enc.key");
    request.pass_phrase_file = pki.path("pass.txt");
    SSL_CTX *ctx = nullptr;
    std::shared_ptr<context_build> build;
    EXPECT_EQ(find_context(request, -1, nullptr, &ctx, &build), context_progress::ready);
    SSL_CTX_free(ctx);
    EXPECT_LE(kept_context_bytes_for_test(), CONTEXT_CACHE_BYTES);
  }
  clear_context_cache();
}

}  // namespace
