// Hostile requests and peers: files that never end or block, a key that would
// make the library ask a terminal, servers that renegotiate or stall in a
// renegotiation, a certificate that tries to write its own OCSP request, and
// a host out of descriptors. None may crash, stall or spin the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "engine.h"
#include "log.h"
#include "ocsp.h"
#include "support.h"
#include "tls.h"

using namespace testing_support;

namespace {

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

std::string files(const std::string &ca = "", const std::string &pass = "", bool client_cert = false) {
  const test_pki &pki = shared_pki();
  std::string json;
  if (!ca.empty()) json = "\"CACertPemFile\": \"" + ca + "\"";
  if (client_cert) {
    json += std::string(json.empty() ? "" : ", ") + "\"CertFile\": \"" + pki.path("client.chain.pem") +
            "\", \"KeyFile\": \"" + pki.path("client.enc.key") + "\"";
    if (!pass.empty()) json += ", \"PassPhraseFile\": \"" + pass + "\"";
  }
  return json;
}

// True when sealgate closes the client without a byte within `timeout_ms`.
bool refused(int sealgate_port, const std::string &request, int timeout_ms = 3000) {
  std::string reply;
  int fd = open_relay(sealgate_port, request, &reply, timeout_ms);
  bool eof = false;
  std::string rest = reply.empty() ? recv_until_eof(fd, 100, &eof) : "";
  close(fd);
  return reply.empty() && rest.empty() && eof;
}

class Hostile : public ::testing::Test {
 protected:
  void start(const child_options &options = {}) {
    sg_ = std::make_unique<sealgate_process>(std::vector<std::string>{"-L", "3"}, options);
    ASSERT_TRUE(sg_->started());
    baseline_ = count_open_fds(sg_->pid());
  }
  // A normal request is still relayed, and nothing is left open.
  void expect_healthy() {
    tls_test_server server({});
    std::string reply;
    int fd = open_relay(sg_->port(), request_json(addr(server.port())), &reply, 3000);
    EXPECT_EQ(reply, k_status_reply);
    send_all(fd, "ping", 4);
    EXPECT_EQ(recv_bytes(fd, 4, 3000), "ping");
    close(fd);
    for (int i = 0; i < 150 && count_open_fds(sg_->pid()) != baseline_; i++) usleep(20000);
    EXPECT_EQ(count_open_fds(sg_->pid()), baseline_);
  }
  std::unique_ptr<sealgate_process> sg_;
  int baseline_ = 0;
};

TEST_F(Hostile, FilesThatBlockOrNeverEndAreRefusedAtOnce) {
  start();
  temp_dir dir("hostile");
  std::string fifo = dir.path + "/ca.fifo", big = dir.path + "/big.pem";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(ftruncate(fd, REQUEST_FILE_LIMIT + 1), 0);
  close(fd);
  tls_test_server server({});
  // More requests than workers: a FIFO that stalled one would stall them all.
  std::vector<std::thread> clients;
  std::atomic<int> refusals{0};
  for (int i = 0; i < 24; i++)
    clients.emplace_back([&] { refusals += refused(sg_->port(), request_json(addr(server.port()), true, files(fifo))); });
  for (auto &t : clients) t.join();
  EXPECT_EQ(refusals.load(), 24);
  long rss = rss_kib(sg_->pid());
  EXPECT_TRUE(refused(sg_->port(), request_json(addr(server.port()), true, files("/dev/zero", "/dev/zero", true))));
  EXPECT_TRUE(refused(sg_->port(), request_json(addr(server.port()), true, files(big))));
  EXPECT_TRUE(refused(sg_->port(), request_json(addr(server.port()), true, files(dir.path))));
  EXPECT_LT(rss_kib(sg_->pid()) - rss, 8 * 1024) << "KiB grown while refusing";
  expect_healthy();
}

TEST_F(Hostile, EncryptedKeyWithoutPassphraseFileNeverAsksTheTerminal) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);  // kept open: a prompt would wait on it for ever
  child_options options;
  options.stdin_fd = input[0];
  start(options);
  close(input[0]);
  tls_server_options wants_certificate;
  wants_certificate.client_ca = shared_pki().path("root.pem");
  tls_test_server server(wants_certificate);
  EXPECT_TRUE(refused(sg_->port(), request_json(addr(server.port()), true, files("", "", true))));
  expect_healthy();
  close(input[1]);
}

// A server asks for a new handshake while the client uploads at full speed
// and reads the echo: every byte arrives, both ways, also when the new
// handshake asks for the client's certificate.
TEST(Renegotiation, DuringAFullSpeedUploadEveryByteArrivesBothWays) {
  sealgate_process sg({"-L", "2"});
  ASSERT_TRUE(sg.started());
  for (bool with_certificate : {false, true}) {
    SCOPED_TRACE(with_certificate);
    tls_server_options options;
    options.renegotiate_after = 1 << 20;
    options.renegotiation_wants_certificate = with_certificate;
    if (with_certificate) options.client_ca = shared_pki().path("root.pem");
    tls_test_server server(options);
    std::string extra = with_certificate ? files("", shared_pki().path("pass.txt"), true) : "";
    std::string reply;
    int fd = open_relay(sg.port(), request_json(addr(server.port()), true, extra), &reply, 3000);
    ASSERT_EQ(reply, k_status_reply);
    std::string data = deterministic_bytes(5 << 20, 11);
    std::thread writer([&] { send_all(fd, data.data(), data.size()); });
    std::string back = recv_bytes(fd, data.size(), 10000);
    writer.join();
    close(fd);
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    if (HasFailure()) {
      std::string log = sg.log();
      size_t at = 0;
      for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = log.substr(at, nl - at);
        if (line.find("ERROR") != std::string::npos || line.find("WARN") != std::string::npos) fprintf(stderr, "%s\n", line.c_str());
      }
    }
  }
}

// A server asks for a new handshake and never answers the client's hello
// while the client sends: sealgate waits without burning CPU or filling the log.
TEST(Renegotiation, StalledByTheServerCostsNoCpuAndNoLogFlood) {
  sealgate_process sg({"-L", "3"});
  ASSERT_TRUE(sg.started());
  tls_server_options options;
  options.mode = server_mode::renegotiate_then_stall;
  tls_test_server server(options);
  std::string reply;
  int fd = open_relay(sg.port(), request_json(addr(server.port())), &reply, 3000);
  ASSERT_EQ(reply, k_status_reply);
  std::string data = deterministic_bytes(1 << 20, 3);
  std::thread writer([&] { send_all(fd, data.data(), data.size()); });
  usleep(300000);
  long ticks = cpu_ticks(sg.pid());
  size_t log_size = sg.log().size();
  usleep(2000000);
  EXPECT_LT(cpu_ticks(sg.pid()) - ticks, 40) << "clock ticks in two seconds of waiting";
  EXPECT_LT(sg.log().size() - log_size, 64u * 1024) << "log bytes in two seconds of waiting";
  shutdown(fd, SHUT_RDWR);
  writer.join();
  close(fd);
}

// A certificate whose OCSP URL carries line breaks would make sealgate send
// a second request of the certificate's making. The URL is refused as one
// that does not parse, and nothing reaches the address it names.
TEST(OcspUrl, WithLineBreaksNeverReachesTheWire) {
  const test_pki &pki = shared_pki();
  int recorder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(recorder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(pki.inject_port));
  ASSERT_EQ(bind(recorder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  listen(recorder, 8);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_server_options options;
  options.cert = pki.path("crlf.chain.pem");
  options.key = pki.path("crlf.key");
  tls_test_server server(options);
  EXPECT_TRUE(refused(sg.port(), request_json(addr(server.port()), false)));
  EXPECT_LT(accept(recorder, nullptr, nullptr), 0) << "a connection reached the URL's address";
  EXPECT_EQ(sg.log().find("\r\nPOST /admin"), std::string::npos) << "the URL reached the log unescaped";
  close(recorder);
}

// In this process: an OCSP check that cannot get a descriptor refuses only
// its own task; the verdict is not cached, so the next check reaches the
// responder and the server is served again. A responder socket on
// descriptor 0 is as good as any.
TEST(OcspCheck, OutOfDescriptorsRefusesOnlyThatTask) {
  const test_pki &pki = shared_pki();
  temp_dir logs("ocsplog");
  init_log(logs.path.c_str(), "unit", 0, LOG_DEBUG);
  ocsp_responder responder(pki.ocsp_port);
  ASSERT_TRUE(responder.ready());
  tls_server_options options;
  options.cert = pki.path("good.chain.pem");
  options.key = pki.path("good.key");
  tls_test_server server(options);
  int epoll_fd, client_end;
  sealgate_task *task = handshaken_task(server.port(), &epoll_fd, &client_end);
  ASSERT_NE(task, nullptr);
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  int lowest_free = dup(0);
  close(lowest_free);
  struct rlimit none = {static_cast<rlim_t>(lowest_free), saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &none);
  int starved = check_server_certificate(task);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(starved, -1);
  EXPECT_EQ(check_server_certificate(task), 0);
  // The responder's socket may be descriptor 0 when standard input is closed.
  clear_ocsp_cache();
  int saved_input = dup(0);
  close(0);
  EXPECT_EQ(check_server_certificate(task), 0);
  dup2(saved_input, 0);
  close(saved_input);
  release_task(task, epoll_fd, client_end);
  clear_ocsp_cache();
  log_reset_for_test();
}

}  // namespace
