// The connection request parser, the status reply and the outbound connector.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <functional>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "protocol.h"
#include "support.h"

using namespace testing_support;

namespace {

class WithLog : public ::testing::Test {
 protected:
  void SetUp() override {
    log_reset_for_test();
    dir_ = make_temp_dir("protounit");
    init_log(dir_.c_str(), "unit", 0, LOG_DEBUG);
  }
  void TearDown() override {
    log_reset_for_test();
    remove_tree(dir_);
  }
  // The messages logged since the last call, without their prefixes.
  std::vector<std::string> messages() {
    std::string all;
    if (DIR *d = opendir(dir_.c_str())) {
      while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') all += read_file(dir_ + "/" + e->d_name);
      closedir(d);
    }
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = all.substr(start, end - start);
      size_t at = line.find("] ", line.find("] ") + 2);
      out.push_back(line.substr(at + 2));
    }
    std::vector<std::string> fresh(out.begin() + static_cast<long>(seen_), out.end());
    seen_ = out.size();
    return fresh;
  }
  std::string dir_;
  size_t seen_ = 0;
};

using Parser = WithLog;

TEST_F(Parser, RequestVariants) {
  const std::vector<std::string> all_missing = {"Unable to find Proxy", "Unable to find SkipVerify",
                                                "Unable to find UseECA", "Unable to find SecondsPerTry",
                                                "Unable to find CAFile"};
  struct variant {
    const char *name;
    std::string text;
    int result;
    std::vector<std::string> lines;
    std::function<void(const connection_info &)> check;
  };
  std::string full = R"({"ServerAddr":"h:1","Proxy":"p","SkipVerify":true,"UseECA":true,"SecondsPerTry":7,)"
                     R"("CACertPemFile":"ca","KeyFile":"k","CertFile":"c","PassPhraseFile":"pp"})";
  std::vector<variant> variants = {
      {"only ServerAddr", R"({"ServerAddr": "example:443"})", 0, all_missing,
       [](const connection_info &i) {
         EXPECT_EQ(i.server_addr, "example:443");
         EXPECT_TRUE(i.proxy.empty() && i.ca_cert_pem_file.empty() && i.key_file.empty() && i.cert_file.empty() &&
                     i.pass_phrase_file.empty());
         EXPECT_EQ(i.skip_verify, DEFAULT_SKIP_VERIFY);
         EXPECT_EQ(i.use_eca, DEFAULT_USE_ECA);
         EXPECT_EQ(i.seconds_per_try, DEFAULT_SECONDS_PER_TRY);
       }},
      {"everything", full, 0, {},
       [](const connection_info &i) {
         EXPECT_EQ(i.server_addr, "h:1");
         EXPECT_EQ(i.proxy, "p");
         EXPECT_TRUE(i.skip_verify);
         EXPECT_TRUE(i.use_eca);
         EXPECT_EQ(i.seconds_per_try, 7);
         EXPECT_EQ(i.ca_cert_pem_file, "ca");
         EXPECT_EQ(i.key_file, "k");
         EXPECT_EQ(i.cert_file, "c");
         EXPECT_EQ(i.pass_phrase_file, "pp");
       }},
      {"missing ServerAddr",
       R"({"Proxy":"","SkipVerify":true,"UseECA":false,"SecondsPerTry":1,"CACertPemFile":"x"})", -1,
       {"Unable to find ServerAddr"}, nullptr},
      {"array", "[]", -1, {"Wrong format in json"}, nullptr},
      {"string", R"("text")", -1, {}, nullptr},
      {"number", "12", -1, {}, nullptr},
      {"invalid", "{\"ServerAddr\": ", -1, {}, nullptr},
      {"trailing bytes", R"({"ServerAddr":"a:1"} {})", -1, {}, nullptr},
      {"string and number booleans",
       R"({"ServerAddr":"a:1","SkipVerify":"true","UseECA":1,"SecondsPerTry":2.5,"Proxy":"","CACertPemFile":""})", 0,
       {},
       [](const connection_info &i) {
         EXPECT_FALSE(i.skip_verify);
         EXPECT_FALSE(i.use_eca);
         EXPECT_EQ(i.seconds_per_try, 0);
       }},
      {"seconds as string and low 32 bits",
       R"({"ServerAddr":"a:1","SecondsPerTry":"30","Proxy":"","CACertPemFile":"","SkipVerify":false,"UseECA":false})",
       0, {}, [](const connection_info &i) { EXPECT_EQ(i.seconds_per_try, 0); }},
      {"huge seconds keep their low 32 bits",
       R"({"ServerAddr":"a:1","SecondsPerTry":4294967301,"Proxy":"","CACertPemFile":"","SkipVerify":false,"UseECA":false})",
       0, {}, [](const connection_info &i) { EXPECT_EQ(i.seconds_per_try, 5); }},
      {"KeyFile without CertFile",
       R"({"ServerAddr":"a:1","KeyFile":"k","PassPhraseFile":"p","Proxy":"","CACertPemFile":"ca","SkipVerify":false,"UseECA":false,"SecondsPerTry":1})",
       0, {},
       [](const connection_info &i) {
         EXPECT_TRUE(i.key_file.empty() && i.cert_file.empty() && i.pass_phrase_file.empty());
       }},
      {"duplicate keys: the last counts",
       R"({"ServerAddr":"first:1","ServerAddr":"second:2","Proxy":"","CACertPemFile":"","SkipVerify":false,"UseECA":false,"SecondsPerTry":1})",
       0, {}, [](const connection_info &i) { EXPECT_EQ(i.server_addr, "second:2"); }},
      {"wrong types count as absent",
       R"({"ServerAddr":7,"Proxy":["x"],"CACertPemFile":null,"SkipVerify":false,"UseECA":false,"SecondsPerTry":1})", -1,
       {"Unable to find Proxy", "Unable to find CAFile", "Unable to find ServerAddr"}, nullptr},
      {"KeyFile and CertFile without PassPhraseFile",
       R"({"ServerAddr":"a:1","KeyFile":"k","CertFile":"c","Proxy":"","CACertPemFile":"","SkipVerify":false,"UseECA":false,"SecondsPerTry":1})",
       0, {"Unable to find PassPhraseFile"},
       [](const connection_info &i) {
         EXPECT_EQ(i.key_file, "k");
         EXPECT_TRUE(i.pass_phrase_file.empty());
       }},
      {"empty ServerAddr is accepted",
       R"({"ServerAddr":"","Proxy":"","CACertPemFile":"","SkipVerify":false,"UseECA":false,"SecondsPerTry":1})", 0, {},
       [](const connection_info &i) { EXPECT_TRUE(i.server_addr.empty()); }},
  };
  for (const variant &v : variants) {
    SCOPED_TRACE(v.name);
    messages();
    connection_info info;
    EXPECT_EQ(parse_connection_info(v.text.c_str(), info), v.result);
    std::vector<std::string> lines = messages();
    if (v.result == -1 && v.lines.empty()) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind("Unable to parse json " + v.text + " - ", 0), 0u) << lines[0];
    } else {
      EXPECT_EQ(lines, v.lines);
    }
    if (v.check) v.check(info);
  }
}

TEST_F(Parser, NulByteEndsTheText) {
  std::string text = std::string(R"({"ServerAddr":"a:1","Proxy":"","CACertPemFile":"","SkipVerify":true,"UseECA":false,"SecondsPerTry":1})") +
                     '\0' + "garbage";
  connection_info info;
  EXPECT_EQ(parse_connection_info(text.c_str(), info), 0);
  EXPECT_TRUE(info.skip_verify);
}

TEST_F(Parser, StatusReplyIsExactly22BytesAndAShortSendFails) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  EXPECT_EQ(send_client_status(pair[0]), 0);
  char buffer[64];
  ssize_t n = recv(pair[1], buffer, sizeof buffer, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "{\"Status\": \"Continue\"}");
  EXPECT_EQ(n, 22);
  messages();
  // Fill the socket so that the reply cannot go out whole.
  int small = 4096;
  setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string filler(1 << 20, 'x');
  while (send(pair[0], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
  }
  EXPECT_EQ(send_client_status(pair[0]), -1);
  close(pair[1]);
  EXPECT_EQ(send_client_status(pair[0]), -1);  // a closed peer must not raise SIGPIPE
  close(pair[0]);
  std::vector<std::string> lines = messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "try to send status to client fd " + std::to_string(pair[0]) + " - size 22 {\"Status\": \"Continue\"}");
}

// ---- connector ----

int listen_on(const char *address, int family, int port) {
  int fd = socket(family, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address, &a.sin6_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  } else {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  }
  listen(fd, 16);
  return fd;
}

using Connector = WithLog;

TEST_F(Connector, ConnectsAndReportsTheLocalPort) {
  clear_address_cache();
  int port = free_port();
  int listener = listen_on("127.0.0.1", AF_INET, port);
  int fd = -1;
  uint16_t local = 0;
  ASSERT_EQ(do_connect(9, "127.0.0.1", std::to_string(port).c_str(), &fd, &local, 5), 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(local, get_port_from_socket_fd(9, fd));
  EXPECT_NE(local, 0);
  EXPECT_TRUE(address_cache_contains("127.0.0.1"));
  std::vector<std::string> lines = messages();
  std::string success = "client fd 9 connected 127.0.0.1 127.0.0.1:" + std::to_string(port) + " using " +
                        std::to_string(fd) + ":" + std::to_string(local);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), success), 1);
  close(fd);
  close(listener);
}

TEST_F(Connector, RefusedPortAndUnresolvableNameFailClosingEverything) {
  clear_address_cache();
  int port = free_port();
  int fd = 1234;
  uint16_t local = 99;
  ASSERT_EQ(do_connect(3, "127.0.0.1", std::to_string(port).c_str(), &fd, &local, 5), 1);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(local, 99);
  std::vector<std::string> lines = messages();
  bool warned = false;
  for (auto &l : lines) warned |= l.find("client fd 3 failed to connect fd") == 0 && l.find("Connection refused") != std::string::npos;
  EXPECT_TRUE(warned);
  EXPECT_EQ(lines.back().rfind("client fd 3 ret -3 connecting to 127.0.0.1:" + std::to_string(port) + " Connection refused", 0), 0u)
      << lines.back();

  fd = 77;
  ASSERT_EQ(do_connect(3, "no-such-host.invalid", "443", &fd, &local, 5), 1);
  EXPECT_EQ(fd, 77);  // untouched when the name does not resolve
  lines = messages();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("client fd 3 Unable to resolve no-such-host.invalid:443 - ", 0), 0u);
}

// "dual" resolves to ::1 first and 127.0.0.1 second, like localhost on many hosts.
int dual_resolver(const char *, const char *service, const struct addrinfo *hints, struct addrinfo **out) {
  struct addrinfo *v6 = nullptr, *v4 = nullptr;
  if (getaddrinfo("::1", service, hints, &v6) != 0) return EAI_NONAME;
  if (getaddrinfo("127.0.0.1", service, hints, &v4) != 0) {
    freeaddrinfo(v6);
    return EAI_NONAME;
  }
  struct addrinfo *tail = v6;
  while (tail->ai_next != nullptr) tail = tail->ai_next;
  tail->ai_next = v4;
  *out = v6;
  return 0;
}

TEST_F(Connector, AddressThatWorkedIsTriedFirstAndLosesItsPlaceAfterAFailure) {
  // Only IPv4 listens at first.
  clear_address_cache();
  set_resolver_for_test(dual_resolver);
  int port = free_port();
  int v6 = listen_on("::1", AF_INET6, port);
  if (v6 < 0) GTEST_SKIP() << "no IPv6 loopback";
  close(v6);
  int v4 = listen_on("127.0.0.1", AF_INET, port);
  std::string p = std::to_string(port);
  int fd = -1;
  uint16_t local = 0;
  ASSERT_EQ(do_connect(1, "dual", p.c_str(), &fd, &local, 4), 0);
  close(fd);
  EXPECT_TRUE(address_cache_contains("127.0.0.1"));
  messages();
  ASSERT_EQ(do_connect(1, "dual", p.c_str(), &fd, &local, 4), 0);
  close(fd);
  std::vector<std::string> lines = messages();
  // The cached IPv4 address went first: no failed attempt this time.
  for (auto &l : lines) EXPECT_EQ(l.find("failed to connect"), std::string::npos) << l;
  // Now IPv4 stops listening and IPv6 starts: the cached address fails once and drops out.
  close(v4);
  v6 = listen_on("::1", AF_INET6, port);
  ASSERT_EQ(do_connect(1, "dual", p.c_str(), &fd, &local, 4), 0);
  close(fd);
  lines = messages();
  EXPECT_EQ(lines.back(), "client fd 1 connected dual ::1:" + p + " using " + std::to_string(fd) + ":" +
                              std::to_string(local));
  EXPECT_FALSE(address_cache_contains("127.0.0.1"));
  EXPECT_TRUE(address_cache_contains("::1"));
  close(v6);
  set_resolver_for_test(nullptr);
}

TEST_F(Connector, IPv6LoopbackAndBudgets) {
  clear_address_cache();
  int port = free_port();
  int v6 = listen_on("::1", AF_INET6, port);
  if (v6 < 0) GTEST_SKIP() << "no IPv6 loopback";
  int fd = -1;
  uint16_t local = 0;
  ASSERT_EQ(do_connect(2, "::1", std::to_string(port).c_str(), &fd, &local, -1), 0);  // no limit
  close(fd);
  // A budget of 0 gives 0 ms waits: loopback connects may or may not be done
  // by the first poll, but the call returns at once either way.
  auto start = std::chrono::steady_clock::now();
  int rc = do_connect(2, "::1", std::to_string(port).c_str(), &fd, &local, 0);
  if (rc == 0) close(fd);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  std::vector<std::string> lines = messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "client fd 2 try connecting ::1:" + std::to_string(port) + " seconds_per_try 0"),
            lines.end());
  close(v6);
}

}  // namespace
