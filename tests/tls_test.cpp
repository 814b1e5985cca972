// TLS set-up through the real binary against servers run by the test:
// the reply, TLS 1.2 only, client certificates, CA files, SNI, handshake
// failures, a stalled server, and sockets closed exactly once.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

void expect_refused(int fd) {
  bool eof = false;
  EXPECT_EQ(recv_until_eof(fd, 10000, &eof), "");
  EXPECT_TRUE(eof) << "the client must be closed without a byte";
  close(fd);
}

TEST(Tls, ReplyOverTls12EvenWhenTheServerAllows13) {
  tls_test_server server({});
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port())), &reply);
  EXPECT_EQ(reply, k_status_reply);
  ASSERT_TRUE(sg.wait_for_log(" - channel is setup, ready to forward data\n"));
  send_all(fd, "ping", 4);
  EXPECT_EQ(recv_bytes(fd, 4), "ping");
  close(fd);
  ASSERT_TRUE(sg.wait_for_log("] delete task pointer "));
  auto seen = server.wait_observations(1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].version, TLS1_2_VERSION);
  EXPECT_EQ(seen[0].sni, "");  // no server name unless UseECA
  std::string log = sg.log();
  EXPECT_NE(log.find("DEBUG [" + std::to_string(sg.pid())), std::string::npos);
  EXPECT_NE(log.find("] try to send status to client fd "), std::string::npos);
  EXPECT_EQ(log.find("needs to be validated"), std::string::npos);  // SkipVerify: no certificate check
}

TEST(Tls, UseEcaSendsTheServerNameEca) {
  tls_test_server server({});
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port()), true, "\"UseECA\": true"), &reply);
  EXPECT_EQ(reply, k_status_reply);
  close(fd);
  auto seen = server.wait_observations(1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].sni, "ECA");
}

TEST(Tls, HandshakeCompletesWhenTheCaFileCannotVouchForTheServer) {
  // The CA file holds a leaf that signed nothing: the chain cannot be built,
  // yet only the revocation check judges the server, so the relay opens.
  tls_test_server server({});
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string ca = "\"CACertPemFile\": \"" + shared_pki().path("noocsp.pem") + "\"";
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port()), true, ca), &reply);
  EXPECT_EQ(reply, k_status_reply);
  send_all(fd, "ping", 4);
  EXPECT_EQ(recv_bytes(fd, 4), "ping");
  close(fd);
}

tls_server_options requiring_client_certificates() {
  tls_server_options options;
  options.client_ca = shared_pki().path("root.pem");
  return options;
}

TEST(Tls, ClientCertificateWithEncryptedKeyAndPassphraseFile) {
  const test_pki &pki = shared_pki();
  tls_test_server server(requiring_client_certificates());
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  int baseline = count_open_fds(sg.pid());
  std::string cert = "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" +
                     pki.path("client.enc.key") + "\", ";
  std::string reply;
  int fd = open_relay(sg.port(),
                      request_json(addr(server.port()), true, cert + "\"PassPhraseFile\": \"" + pki.path("pass.txt") + "\""),
                      &reply);
  EXPECT_EQ(reply, k_status_reply);
  close(fd);
  auto seen = server.wait_observations(1);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(seen[0].client_cert);
  // The CA file is not loaded on the client-certificate path.
  EXPECT_EQ(sg.log().find("Use certificate file"), std::string::npos);

  // A trailing line break is part of the passphrase, so the key does not load.
  for (int i = 0; i < 100; i++) {
    fd = open_relay(sg.port(),
                    request_json(addr(server.port()), true,
                                 cert + "\"PassPhraseFile\": \"" + pki.path("pass-newline.txt") + "\""),
                    &reply);
    EXPECT_EQ(reply, "");
    expect_refused(fd);
  }
  ASSERT_TRUE(sg.wait_for_log("after delete - start_task 2", 5000, 100));
  std::string expected = " - " + pki.path("client.enc.key") + ": error:";
  EXPECT_EQ(count_occurrences(sg.log(), "] SSL_CTX_use_PrivateKey_file failed server fd "), 100u);
  EXPECT_NE(sg.log().find(expected), std::string::npos);
  for (int i = 0; i < 100 && count_open_fds(sg.pid()) != baseline; i++) usleep(20000);
  EXPECT_EQ(count_open_fds(sg.pid()), baseline) << "a socket of a failed task was left open";
}

TEST(Tls, EmptyCaFileFailsOnTheCaPath) {
  tls_test_server server({});
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port()), true, "\"CACertPemFile\": \"\""), &reply);
  EXPECT_EQ(reply, "");
  expect_refused(fd);
  ASSERT_TRUE(sg.wait_for_log("] SSL_CTX_load_verify_locations failed server fd "));
  EXPECT_NE(sg.log().find("] Use certificate file  to communicate with server fd "), std::string::npos);
}

TEST(Tls, ServerResetDuringHandshakeClosesTheClientWithoutBytes) {
  tls_server_options options;
  options.mode = server_mode::reset_in_handshake;
  tls_test_server server(options);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port())), &reply);
  EXPECT_EQ(reply, "");
  expect_refused(fd);
  ASSERT_TRUE(sg.wait_for_log("] delete task pointer "));
  std::string log = sg.log();
  bool syscall = log.find("] SYSCALL I/O error on server fd ") != std::string::npos;
  bool ssl = log.find("] SSL epoll del server fd ") != std::string::npos;
  EXPECT_TRUE(syscall || ssl) << log;
  EXPECT_EQ(log.find("try to send status"), std::string::npos);
  EXPECT_EQ(log.find("SSL close_notify"), std::string::npos);  // no shutdown without a finished handshake
}

TEST(Tls, StalledServerLeavesTheTaskWaitingWithoutSpinning) {
  tls_server_options options;
  options.mode = server_mode::stall;
  tls_test_server server(options);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port())), &reply, 300);
  ASSERT_TRUE(sg.wait_for_log("handshake fail, want to read, check read, current state 5"));
  long before = cpu_ticks(sg.pid());
  usleep(1000000);
  long used = cpu_ticks(sg.pid()) - before;
  EXPECT_LT(used, 20) << "ticks used in one second while waiting";
  bool eof = false;
  EXPECT_EQ(recv_until_eof(fd, 200, &eof), "");
  EXPECT_FALSE(eof);  // still waiting, no time-out of its own
  close(fd);
}

TEST(Tls, UnreachableServerEndsTheTaskAndLowersTheTaskNumber) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(free_port())), &reply);
  expect_refused(fd);
  ASSERT_TRUE(sg.wait_for_log("active task number 0 after delete - start_task 1 at "));
  EXPECT_NE(sg.log().find("active task number 1 after create - get_server_info_and_connect at "), std::string::npos);
}

// Contexts are kept between connections, but never at the cost of what a
// request's files say now: a changed file is read again, and a failing file
// fails the same way every time.
TEST(Tls, KeptContextsFollowTheFilesOnDisk) {
  const test_pki &pki = shared_pki();
  tls_test_server server(requiring_client_certificates());
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string dir = make_temp_dir("files");
  std::string ca = dir + "/ca.pem", pass = dir + "/pass.txt";
  auto attempt = [&](const std::string &extra) {
    std::string reply;
    int fd = open_relay(sg.port(), request_json(addr(server.port()), true, extra), &reply);
    if (reply.empty()) expect_refused(fd);
    else close(fd);
    return reply;
  };
  std::string ca_request = "\"CACertPemFile\": \"" + ca + "\"";
  // The CA path (the server asks for a certificate, so this fails the handshake, not the load).
  write_file(ca, read_file(pki.path("root.pem")));
  attempt(ca_request);
  EXPECT_EQ(count_occurrences(sg.log(), "SSL_CTX_load_verify_locations failed"), 0u);
  write_file(ca, "not a certificate\n");
  EXPECT_EQ(attempt(ca_request), "");
  EXPECT_EQ(attempt(ca_request), "");
  ASSERT_TRUE(sg.wait_for_log("] SSL_CTX_load_verify_locations failed server fd ", 3000, 2));
  // The client-certificate path with a passphrase file that changes.
  std::string cert = "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" +
                     pki.path("client.enc.key") + "\", \"PassPhraseFile\": \"" + pass + "\"";
  write_file(pass, read_file(pki.path("pass.txt")));
  EXPECT_EQ(attempt(cert), k_status_reply);
  EXPECT_EQ(attempt(cert), k_status_reply);
  write_file(pass, "wrong passphrase");
  EXPECT_EQ(attempt(cert), "");
  EXPECT_EQ(attempt(cert), "");
  EXPECT_TRUE(sg.wait_for_log("] SSL_CTX_use_PrivateKey_file failed server fd ", 3000, 2));
  write_file(pass, read_file(pki.path("pass.txt")));
  EXPECT_EQ(attempt(cert), k_status_reply);
  remove_tree(dir);
}

}  // namespace
