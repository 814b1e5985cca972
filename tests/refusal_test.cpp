// Every refusal (unusable peers, hostile files, refused certificates, requests
// that are not requests) is a connection closed without a byte that costs the
// service nothing: the next request is relayed, no descriptor is left behind.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support.h"
#include "credentials.h"
#include "tls_setup.h"

using namespace testing_support;

namespace {

// A request naming a TLS server of the test, a plain TCP one that behaves as
// `plain` says, one that never answers a SYN, or nobody; or raw bytes
// instead of a request. A client that `leaves` does not wait for the end: it
// closes while sealgate is still busy (at once, before its request, when
// `gone`). `says` is what the log tells the operator about it. A request
// whose port is `port_beyond` past the server's names it beyond 65535.
struct refusal {
  const char *what;
  std::string extra;  // request keys beside ServerAddr, or the raw bytes
  tls_server_options server{};
  std::function<void(int)> plain{};
  bool verify = false, nobody = false, raw = false, leaves = false, silent = false, gone = false;
  const char *says = nullptr;
  int port_beyond = 0;
};

std::string files(const std::string &ca) { return "\"CACertPemFile\": \"" + ca + "\""; }

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
  std::string hidden = dir.path + "/hidden.key";  // a costly key behind a block that does not parse
  write_file(hidden, "-----BEGIN X-----\n!!!!\n-----END X-----\n" + read_file(pki.path("slow.enc.key")));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  write_file(big, "");
  ASSERT_EQ(truncate(big.c_str(), REQUEST_FILE_LIMIT + 1), 0);
  ocsp_responder responder(pki.ocsp_port);
  raw_server recorder(pki.inject_port, [](int fd) { close(fd); });
  mute_server mute(pki.closed_port);  // a responder that never answers
  silent_listener unanswered;
  auto reset = [](int fd) {
    recv_bytes(fd, 100);
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
  };
  auto silent = [](int fd) {  // reads the hello, answers nothing, holds on until sealgate closes
    recv_bytes(fd);
    recv_bytes(fd);
    close(fd);
  };
  auto not_tls = [](int fd) {
    send_all(fd, "HTTP/1.0 400 Bad Request\r\n\r\n");
    close(fd);
  };
  const std::vector<refusal> table = {
      {.what = "unreachable server", .extra = "", .nobody = true},
      {"CA file that is not PEM", files(not_pem)},
      {"missing CA file", files(dir.path + "/absent.pem")},
      {"empty CA path", files("")},
      {"CA file that is a FIFO", files(fifo)},
      {"CA file that is a directory", files(dir.path)},
      {"CA file over the size limit", files(big)},
      {"passphrase file that never ends", client_key_json("/dev/zero")},
      {"encrypted key without a passphrase file", client_key_json("")},
      {"passphrase with a final line break", client_key_json(pki.path("pass-newline.txt"))},
      {.what = "costly key behind a broken block",
       .extra = "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" + hidden +
                "\", \"PassPhraseFile\": \"" + pki.path("pass.txt") + "\"",
       .says = "unreadable PEM block"},
      {.what = "server that resets in the handshake", .extra = "", .plain = reset},
      {.what = "server that does not speak TLS", .extra = "", .plain = not_tls},
      {.what = "client leaving a handshake the server never answers", .extra = "", .plain = silent, .leaves = true,
       .says = "Unable to send status to client fd"},
      {.what = "client leaving a connect the server never answers", .extra = "", .leaves = true, .silent = true,
       .says = "Unable to send status to client fd"},
      {.what = "client leaving while the OCSP responder is silent", .extra = "", .server = {.leaf = "closedport"},
       .verify = true, .leaves = true, .says = "Unable to send status to client fd"},
      {.what = "client closing before its request", .extra = "", .raw = true, .gone = true,
       .says = "Unable to parse server info from client"},
      {"revoked certificate", "", {.leaf = "revoked"}, nullptr, true},
      {"certificate naming no OCSP responder", "", {.leaf = "noocsp"}, nullptr, true},
      {"certificate naming only an https responder", "", {.leaf = "httpsonly"}, nullptr, true},
      {"server sending its leaf alone", "", {.send_chain = false}, nullptr, true},
      {"OCSP URL carrying line breaks", "", {.leaf = "crlf"}, nullptr, true},
      {.what = "ServerAddr port beyond 65535, its low 16 bits a server's", .extra = "", .port_beyond = 65536},
      {.what = "request of 4096 bytes", .extra = request_json("x:1") + std::string(4096, ' '), .raw = true},
      {.what = "request that is not JSON", .extra = std::string("\x01\x02{not json", 11), .raw = true},
      {.what = "request forging a log line", .extra = "{\n12-06-2026 00:00:00.000 INFO  [1,1] [main@1] forged %n%s%s%s", .raw = true},
      {.what = "request without ServerAddr", .extra = "{\"Proxy\": \"\"}", .raw = true},
      {.what = "no request at all", .extra = "", .raw = true},
  };
  for (const refusal &row : table) {
    SCOPED_TRACE(row.what);
    std::unique_ptr<tls_test_server> server;
    std::unique_ptr<raw_server> plain;
    if (row.plain) plain = std::make_unique<raw_server>(0, row.plain);
    if (!row.plain && !row.nobody && !row.raw && !row.silent) server = std::make_unique<tls_test_server>(row.server);
    int port = plain ? plain->port() : server ? server->port() : row.silent ? unanswered.port() : free_port();
    size_t seen = sg_->log().size();
    int fd = connect_tcp(sg_->port());
    std::string server_addr = addr(port + row.port_beyond);
    if (!row.gone) send_all(fd, row.raw ? row.extra : request_json(server_addr, !row.verify, row.extra));
    if (row.raw) shutdown(fd, SHUT_WR);
    if (row.leaves) usleep(200000);
    EXPECT_TRUE(row.leaves || row.gone ? close(fd) == 0 : closed_without_a_byte(fd));
    if (row.says != nullptr) {
      EXPECT_TRUE(eventually([&] { return sg_->log().find(row.says, seen) != std::string::npos; })) << row.says;
    }
    expect_service_intact();
  }
  EXPECT_EQ(recorder.connections(), 0) << "the URL with line breaks was followed";
  std::string log = sg_->log();
  EXPECT_EQ(log.find("not allowed"), std::string::npos) << "a client of this user was taken for another";
  EXPECT_EQ(log.find("\r\nPOST"), std::string::npos) << "the URL reached the log unescaped";
  EXPECT_EQ(log.find("\n12-06-2026 00:00:00.000 INFO  [1,1]"), std::string::npos) << "a request forged a log line";
  for (const std::string &file : {fifo, dir.path, std::string("/dev/zero")})  // refused before any read
    EXPECT_NE(log.find(file + ": not a regular file"), std::string::npos) << file;
}

}  // namespace
