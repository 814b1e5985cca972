// Every refusal looks the same to the client and costs the service nothing:
// the connection is closed without a byte, the next request (of the largest
// size allowed) is relayed, and no descriptor is left behind. The rows cover
// unusable peers, hostile and broken files, certificates the revocation check
// refuses, and requests that are not requests.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support.h"
#include "tls_setup.h"

using namespace testing_support;

namespace {

// A request (or raw bytes instead) and the peer it names: a TLS server of the
// test, a plain TCP one that behaves as `plain` says, or nobody.
struct refusal {
  const char *what;
  std::string extra;  // request keys beside ServerAddr
  bool verify = false;
  tls_server_options server;
  std::function<void(int)> plain;
  enum { tls, plain_tcp, nobody, no_request } peer = tls;
  std::string raw;
};

std::string files(const std::string &ca) { return "\"CACertPemFile\": \"" + ca + "\""; }

std::string client_key(const std::string &pass) {
  const test_pki &pki = shared_pki();
  return "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" + pki.path("client.enc.key") +
         "\"" + (pass.empty() ? "" : ", \"PassPhraseFile\": \"" + pass + "\"");
}

tls_server_options leaf(const char *name, bool send_chain = true) {
  tls_server_options options;
  options.leaf = name;
  options.send_chain = send_chain;
  return options;
}

class Refusals : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(input_), 0);  // sealgate's standard input stays open: a prompt would wait on it for ever
    options_.stdin_fd = input_[0];
    sg_ = std::make_unique<sealgate_process>(std::vector<std::string>{"-L", "3"}, options_);
    close(input_[0]);
    ASSERT_TRUE(sg_->started());
  }
  void TearDown() override {
    sg_.reset();
    close(input_[1]);
  }
  // A request padded to the largest size allowed (4095 bytes) is relayed, and nothing is left open.
  void expect_service_intact() {
    tls_test_server server;
    std::string request = request_json(addr(server.port()));
    request.insert(request.size() - 1, 4095 - request.size(), ' ');
    std::string reply;
    int fd = open_relay(sg_->port(), request, &reply);
    EXPECT_EQ(reply, k_status_reply);
    EXPECT_EQ(echo_through(fd, "ping"), "ping");
    close(fd);
    EXPECT_TRUE(sg_->fds_at_baseline());
  }
  int input_[2];
  child_options options_;
  std::unique_ptr<sealgate_process> sg_;
};

TEST_F(Refusals, EachIsAClosedConnectionAndCostsTheServiceNothing) {
  const test_pki &pki = shared_pki();
  temp_dir dir("refusals");
  std::string not_pem = dir.path + "/not.pem", fifo = dir.path + "/ca.fifo", big = dir.path + "/big.pem";
  write_file(not_pem, "not a certificate\n");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  write_file(big, "");
  ASSERT_EQ(truncate(big.c_str(), REQUEST_FILE_LIMIT + 1), 0);
  ocsp_responder responder(pki.ocsp_port);
  ASSERT_TRUE(responder.ready());
  raw_server recorder(pki.inject_port, [](int fd) { close(fd); });
  std::vector<refusal> table;
  auto add = [&](const char *what, const std::string &extra, bool verify = false, const tls_server_options &server = {}) {
    table.push_back({what, extra, verify, server, nullptr});
  };
  auto add_peer = [&](const char *what, decltype(refusal::peer) peer, std::function<void(int)> plain = nullptr,
                      const std::string &raw = "") {
    add(what, "");
    table.back().peer = peer;
    table.back().plain = std::move(plain);
    table.back().raw = raw;
  };
  add_peer("unreachable server", refusal::nobody);
  add("CA file that is not PEM", files(not_pem));
  add("missing CA file", files(dir.path + "/absent.pem"));
  add("empty CA path", files(""));
  add("CA file that is a FIFO", files(fifo));
  add("CA file that is a directory", files(dir.path));
  add("CA file over the size limit", files(big));
  add("passphrase file that never ends", client_key("/dev/zero"));
  add("encrypted key without a passphrase file", client_key(""));
  add("passphrase with a final line break", client_key(pki.path("pass-newline.txt")));
  add_peer("server that resets in the handshake", refusal::plain_tcp, [](int fd) {
    recv_bytes(fd, 100);
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
  });
  add_peer("server that does not speak TLS", refusal::plain_tcp, [](int fd) {
    send_all(fd, "HTTP/1.0 400 Bad Request\r\n\r\n");
    close(fd);
  });
  add("revoked certificate", "", true, leaf("revoked"));
  add("certificate naming no OCSP responder", "", true, leaf("noocsp"));
  add("certificate naming only an https responder", "", true, leaf("httpsonly"));
  add("server sending its leaf alone", "", true, leaf("good", false));
  add("OCSP URL carrying line breaks", "", true, leaf("crlf"));
  add_peer("request of 4096 bytes", refusal::no_request, nullptr, request_json("x:1") + std::string(4096, ' '));
  add_peer("request that is not JSON", refusal::no_request, nullptr, std::string("\x01\x02{not json", 11));
  add_peer("request forging a log line", refusal::no_request, nullptr,
           "{\n12-06-2026 00:00:00.000 INFO  [1,1] [main@1] forged %n%s%s%s");
  add_peer("request without ServerAddr", refusal::no_request, nullptr, "{\"Proxy\": \"\"}");
  add_peer("no request at all", refusal::no_request, nullptr, "");
  for (const refusal &row : table) {
    SCOPED_TRACE(row.what);
    std::unique_ptr<tls_test_server> server;
    std::unique_ptr<raw_server> plain;
    int port = free_port();
    if (row.peer == refusal::tls) server = std::make_unique<tls_test_server>(row.server);
    if (row.peer == refusal::plain_tcp) plain = std::make_unique<raw_server>(0, row.plain);
    if (server) port = server->port();
    if (plain) port = plain->port();
    int fd = connect_tcp(sg_->port());
    send_all(fd, row.peer == refusal::no_request ? row.raw : request_json(addr(port), !row.verify, row.extra));
    if (row.peer == refusal::no_request) shutdown(fd, SHUT_WR);
    EXPECT_TRUE(closed_without_a_byte(fd));
    expect_service_intact();
  }
  EXPECT_EQ(recorder.connections(), 0) << "the URL with line breaks was followed";
  std::string log = sg_->log();
  EXPECT_EQ(log.find("\r\nPOST"), std::string::npos) << "the URL reached the log unescaped";
  EXPECT_EQ(log.find("\n12-06-2026 00:00:00.000 INFO  [1,1]"), std::string::npos) << "a request forged a log line";
  for (const std::string &file : {fifo, dir.path, std::string("/dev/zero")})  // refused before any read
    EXPECT_NE(log.find(file + ": not a regular file"), std::string::npos) << file;
}

// More requests naming a FIFO than there are workers, all at once: a FIFO
// that blocked one worker would block them all.
TEST_F(Refusals, FifosStallNoWorker) {
  temp_dir dir("fifo");
  std::string fifo = dir.path + "/ca.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  tls_test_server server;
  std::vector<std::thread> clients;
  std::atomic<int> refused{0};
  for (int i = 0; i < 24; i++)
    clients.emplace_back([&] {
      std::string reply;
      int fd = open_relay(sg_->port(), request_json(addr(server.port()), true, files(fifo)), &reply);
      refused += reply.empty() && closed_without_a_byte(fd);
    });
  for (auto &t : clients) t.join();
  EXPECT_EQ(refused.load(), 24);
  expect_service_intact();
}

// A client that gives up on a server that never answers its handshake takes
// both of its connections with it.
TEST_F(Refusals, AClientLeavingDuringTheHandshakeLeavesNothingBehind) {
  raw_server silent(0, [](int fd) {  // reads the hello, answers nothing, holds on until sealgate closes
    recv_bytes(fd);
    recv_bytes(fd);
    close(fd);
  });
  int fd = connect_tcp(sg_->port());
  send_all(fd, request_json(addr(silent.port())));
  usleep(200000);
  close(fd);
  EXPECT_TRUE(sg_->fds_at_baseline());
}

}  // namespace
