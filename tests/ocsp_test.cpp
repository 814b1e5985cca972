// Revocation checking through the real binary, with a test PKI and a real
// `openssl ocsp` responder behind a forwarder that counts its connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

class Ocsp : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure() && sg_) fprintf(stderr, "%s\n", sg_->log().c_str());
  }
  void SetUp() override {
    const test_pki &pki = shared_pki();
    responder_port_ = free_port();
    responder_ = std::make_unique<ocsp_responder>(responder_port_);
    ASSERT_TRUE(responder_->ready());
    forwarder_ = std::make_unique<counting_forwarder>(pki.ocsp_port, responder_port_);
    sg_ = std::make_unique<sealgate_process>();
    ASSERT_TRUE(sg_->started());
  }
  std::unique_ptr<tls_test_server> server_for(const std::string &leaf, bool with_chain = true) {
    tls_server_options options;
    options.cert = shared_pki().path(leaf + (with_chain ? ".chain.pem" : ".pem"));
    options.key = shared_pki().path(leaf + ".key");
    return std::make_unique<tls_test_server>(options);
  }
  // Sends a verified request; returns the first bytes back ("" when refused).
  std::string ask(const std::string &server_addr, bool skip_verify = false, int timeout_ms = 20000) {
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(server_addr, skip_verify), &reply, timeout_ms);
    if (reply.empty()) {
      bool eof = false;
      recv_until_eof(fd, 5000, &eof);
      EXPECT_TRUE(eof);
    }
    close(fd);
    return reply;
  }
  int responder_port_ = 0;
  std::unique_ptr<ocsp_responder> responder_;
  std::unique_ptr<counting_forwarder> forwarder_;
  std::unique_ptr<sealgate_process> sg_;
};

TEST_F(Ocsp, GoodLeafIsVerifiedOnceAndThenAnsweredFromTheCache) {
  auto server = server_for("good");
  std::string key = addr(server->port());
  EXPECT_EQ(ask(key), k_status_reply);
  EXPECT_TRUE(sg_->wait_for_log("] certificate is verified for server " + key + ", save it in cache\n"));
  EXPECT_EQ(forwarder_->count(), 1);
  EXPECT_EQ(ask(key), k_status_reply);
  EXPECT_TRUE(sg_->wait_for_log("] The certificate for server " + key + " fd "));
  EXPECT_NE(sg_->log().find(" in cache is valid\n"), std::string::npos);
  EXPECT_EQ(forwarder_->count(), 1);  // no new request at the responder
  std::string log = sg_->log();
  EXPECT_NE(log.find("] found server_cert in chain -- skipping\n"), std::string::npos);
  EXPECT_NE(log.find("] querying url [http://127.0.0.1:" + std::to_string(shared_pki().ocsp_port) +
                     "/] host [127.0.0.1] port [" + std::to_string(shared_pki().ocsp_port) + "] path [/] use_ssl 0\n"),
            std::string::npos);
  EXPECT_NE(log.find("] 0 - is_revoked 0\n"), std::string::npos);
}

TEST_F(Ocsp, RevokedLeafIsRefusedWithoutReply) {
  auto server = server_for("revoked");
  std::string key = addr(server->port());
  EXPECT_EQ(ask(key), "");
  ASSERT_TRUE(sg_->wait_for_log("] certificate is not verified for server " + key + ", save it in cache\n"));
  EXPECT_TRUE(sg_->wait_for_log("] Server certificate verification is invalid fd "));
  std::string log = sg_->log();
  EXPECT_EQ(log.find("Unable to send status"), std::string::npos);
  EXPECT_EQ(count_occurrences(log, "] 0 - is_revoked 1\n"), 3u);  // three passes, the last answer decides
  EXPECT_EQ(ask(key), "");
  EXPECT_TRUE(sg_->wait_for_log(" in cache is invalid\n"));
  EXPECT_EQ(forwarder_->count(), 3);
}

TEST_F(Ocsp, NoResponderNamedOrReachableIsRefusedForFifteenMinutes) {
  for (const char *leaf : {"noocsp", "closedport", "httpsonly"}) {
    SCOPED_TRACE(leaf);
    auto server = server_for(leaf);
    std::string key = addr(server->port());
    EXPECT_EQ(ask(key), "");
    ASSERT_TRUE(sg_->wait_for_log("] unable to connect to ocsp for server " + key + ", retry in 15 minutes\n"));
    EXPECT_EQ(ask(key), "");
    EXPECT_TRUE(sg_->wait_for_log("] The certificate for server " + key + " fd "));
  }
  std::string log = sg_->log();
  EXPECT_EQ(count_occurrences(log, " in cache is invalid\n"), 3u);
  EXPECT_NE(log.find("] client fd "), std::string::npos);
  EXPECT_NE(log.find(" parse url failed https://127.0.0.1:" + std::to_string(shared_pki().ocsp_port) + "/\n"),
            std::string::npos);
  EXPECT_NE(log.find("] Unable to connect to 127.0.0.1\n"), std::string::npos);
  EXPECT_NE(log.find(" is_revoked -2\n"), std::string::npos);
  EXPECT_EQ(forwarder_->count(), 0);
}

TEST_F(Ocsp, ServerSendingOnlyItsLeafIsNotVerifiedAfterThreeEmptyPasses) {
  auto server = server_for("good", false);
  std::string key = addr(server->port());
  EXPECT_EQ(ask(key), "");
  ASSERT_TRUE(sg_->wait_for_log("] certificate is not verified for server " + key + ", save it in cache\n"));
  EXPECT_EQ(count_occurrences(sg_->log(), "] found server_cert in chain -- skipping\n"), 3u);
  EXPECT_EQ(forwarder_->count(), 0);
}

TEST_F(Ocsp, EntriesAreKeyedByTheAddressTextAndSkipVerifyCausesNoTraffic) {
  auto server = server_for("good");
  EXPECT_EQ(ask(addr(server->port()), true), k_status_reply);
  EXPECT_EQ(forwarder_->count(), 0);
  EXPECT_EQ(sg_->log().find("needs to be validated"), std::string::npos);
  EXPECT_EQ(ask(addr(server->port())), k_status_reply);
  EXPECT_EQ(ask("localhost:" + std::to_string(server->port())), k_status_reply);
  EXPECT_EQ(forwarder_->count(), 2);  // two strings, two entries
}

TEST_F(Ocsp, ManyClientsForOneServerShareOneExchange) {
  auto server = server_for("good");
  std::string key = addr(server->port());
  std::vector<std::thread> clients;
  std::atomic<int> continued{0};
  for (int i = 0; i < 12; i++)
    clients.emplace_back([&] {
      std::string reply;
      int fd = open_relay(sg_->port(), request_json(key, false), &reply, 20000);
      if (reply == k_status_reply) continued++;
      close(fd);
    });
  for (auto &t : clients) t.join();
  EXPECT_EQ(continued.load(), 12);
  EXPECT_EQ(forwarder_->count(), 1);
  EXPECT_EQ(count_occurrences(sg_->log(), "needs to be validated"), 1u);
}

// A responder that accepts the connection and never answers: one 30-second
// wait, then the URL counts as giving no response.
TEST_F(Ocsp, SilentResponderTimesOutOnce) {
  const test_pki &pki = shared_pki();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(silent, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(pki.closed_port));
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  listen(silent, 8);
  auto server = server_for("closedport");
  std::string key = addr(server->port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(key, false, 45000), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(29));
  ASSERT_TRUE(sg_->wait_for_log("] Timeout on request fd "));
  std::string log = sg_->log();
  EXPECT_NE(log.find("] Error querying OCSP responder\n"), std::string::npos);
  EXPECT_NE(log.find("] send request failed\n"), std::string::npos);
  EXPECT_NE(log.find("] unable to connect to ocsp for server " + key + ", retry in 15 minutes\n"), std::string::npos);
  close(silent);
}

}  // namespace
