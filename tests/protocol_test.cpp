// In this process: what a connection request yields, and the connector's
// order of addresses (the one that worked last goes first until it fails).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include "protocol.h"
#include "support.h"

using namespace testing_support;

namespace {

// A request's fields in one line: address|skip eca verify|seconds|ca|key|cert|pass.
std::string yields(const char *request) {
  connection_info i;
  if (parse_connection_info(request, i) != 0) return "refused";
  return i.server_addr + "|" + std::to_string(i.skip_verify) + std::to_string(i.use_eca) +
         std::to_string(i.verify_server) + "|" +
         std::to_string(i.seconds_per_try) + "|" + i.ca_cert_pem_file + "|" + i.key_file + "|" + i.cert_file + "|" +
         i.pass_phrase_file;
}

TEST(Request, WhatEachFormYields) {
  EXPECT_EQ(yields(R"({"ServerAddr": "example:443"})"), "example:443|000|30||||");
  EXPECT_EQ(yields(R"({"ServerAddr":"h:1","SkipVerify":true,"UseECA":true,"SecondsPerTry":7,"CACertPemFile":"ca",
                       "KeyFile":"k","CertFile":"c","PassPhraseFile":"p","VerifyServer":true})"),
            "h:1|111|7|ca|k|c|p");
  // Booleans are true only for the literal true; a number that is not an integer gives 0 seconds.
  EXPECT_EQ(yields(R"({"ServerAddr":"a:1","SkipVerify":"true","UseECA":1,"SecondsPerTry":2.5,"VerifyServer":"true"})"),
            "a:1|000|0||||");
  // A key file without a certificate file names no client certificate.
  EXPECT_EQ(yields(R"({"ServerAddr":"a:1","KeyFile":"k","PassPhraseFile":"p"})"), "a:1|000|30||||");
  for (const char *refused : {R"({"SkipVerify":true})", R"({"ServerAddr":7})", "[]", R"({"ServerAddr":"a:1"} {})",
                              R"({"ServerAddr": )"})
    EXPECT_EQ(yields(refused), "refused") << refused;
}

// ServerAddr as users write it: the host and port the connector is given.
TEST(Request, ServerAddrSplitsAsUsersWriteIt) {
  auto split = [](const char *server_addr) -> std::string {
    std::string host, port;
    server_port form = split_server_address(server_addr, host, port);
    return form == server_port::refused ? "refused" : host + " " + port + (form == server_port::default_443 ? " default" : "");
  };
  const std::vector<std::pair<const char *, const char *>> cases = {
      {"example.org:8443", "example.org 8443"}, {"example.org", "example.org 443 default"},
      {"a:b:443", "a:b 443"},                   {"[::1]:8443", "::1 8443"},
      {"[::1]", "::1 443 default"},             {"[::1]:0", "refused"},
      {"h:https", "h https"},                   {"h:1", "h 1"},
      {"h:65535", "h 65535"},                   {"h:65536", "refused"},
      {"h:111701", "refused"},                  {"h:0", "refused"},
      {"h:", "refused"},                        {"h:-1", "refused"},
      {"", " 443 default"},
  };
  for (const auto &[server_addr, yields] : cases) EXPECT_EQ(split(server_addr), yields) << server_addr;
}

int listen_at(const char *address, int port) {
  bool v6 = strchr(address, ':') != nullptr;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_in6 a6 = {AF_INET6, htons(static_cast<uint16_t>(port)), 0, in6addr_loopback, 0};
  sockaddr_in a4 = loopback(port);
  bool bound = v6 ? bind(fd, reinterpret_cast<sockaddr *>(&a6), sizeof a6) == 0
                  : bind(fd, reinterpret_cast<sockaddr *>(&a4), sizeof a4) == 0;
  if (bound && listen(fd, 8) == 0) return fd;
  close(fd);
  return -1;
}

// The connector as a worker drives it: the attempt's socket is watched until
// it is writable or its deadline has come. The connected socket, or -1.
int connect_to(const char *host, int port, int seconds) {
  outbound_connect c;
  int fd = -1;
  uint16_t local = 0;
  connect_progress p = do_connect(c, 1, host, std::to_string(port).c_str(), seconds, fd, local);
  for (pollfd q = {fd, POLLOUT, 0}; p == connect_progress::in_progress; p = connect_resume(c, fd, local)) {
    q.fd = fd;
    poll(&q, 1, 5);
  }
  return p == connect_progress::connected ? fd : -1;
}

// What the test's resolver gives for any name, in this order: an address
// and its port (0: the port asked for).
std::vector<std::pair<const char *, int>> g_addresses;
int test_resolver(const char *, const char *service, const addrinfo *hints, addrinfo **out) {
  addrinfo *head = nullptr, **tail = &head;
  for (auto [address, port] : g_addresses) {
    if (getaddrinfo(address, port != 0 ? std::to_string(port).c_str() : service, hints, tail) != 0) return EAI_NONAME;
    while (*tail != nullptr) tail = &(*tail)->ai_next;
  }
  *out = head;
  return 0;
}

TEST(Connector, TheAddressThatWorkedGoesFirstUntilItFails) {
  int port = free_port(), v4 = listen_at("127.0.0.1", port), v6 = listen_at("::1", port);
  if (v6 < 0) GTEST_SKIP() << "no IPv6 loopback";
  close(v6);  // ::1 refuses: the first connection ends on 127.0.0.1
  clear_address_cache();
  g_addresses = {{"::1", 0}, {"127.0.0.1", 0}};  // as localhost resolves on many hosts
  set_resolver_for_test(test_resolver);
  // Which listener the next connection reaches.
  auto reaches = [&](int listener) {
    int fd = connect_to("dual", port, 4);
    EXPECT_GE(fd, 0);
    close(fd);
    int c = accept(listener, nullptr, nullptr);
    if (c >= 0) close(c);
    return c >= 0;
  };
  EXPECT_TRUE(reaches(v4));
  v6 = listen_at("::1", port);  // now both listen, ::1 named first
  EXPECT_TRUE(reaches(v4)) << "the address that worked goes first";
  close(v4);  // it fails once, and the one that worked then takes its place
  EXPECT_TRUE(reaches(v6));
  v4 = listen_at("127.0.0.1", port);
  EXPECT_TRUE(reaches(v6));
  close(v4);
  close(v6);
  set_resolver_for_test(nullptr);
}

// SecondsPerTry is shared: with two addresses each has half of it, so an
// unreachable first one still leaves time for the second.
TEST(Connector, TheBudgetIsSharedAmongTheAddresses) {
  silent_listener silent;
  int port = free_port(), open = listen_at("127.0.0.1", port);
  clear_address_cache();
  g_addresses = {{"127.0.0.1", silent.port()}, {"127.0.0.1", port}};
  set_resolver_for_test(test_resolver);
  auto start = std::chrono::steady_clock::now();
  int fd = connect_to("two", 0, 2);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(fd, 0);
  EXPECT_GT(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  close(fd);
  close(open);
  set_resolver_for_test(nullptr);
}

}  // namespace
