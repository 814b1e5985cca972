#include "support.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "task.h"
#include "credentials.h"
#include "tls_setup.h"

namespace testing_support {

bool eventually(const std::function<bool()> &done, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    usleep(10000);
  }
  return true;
}

sockaddr_in loopback(int port) {
  return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

namespace {

int listen_on(int port, int *bound_port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  socklen_t length = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 512) != 0)
    ADD_FAILURE() << "cannot listen on port " << port;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
  *bound_port = ntohs(a.sin_port);
  return fd;
}

// Hands each connection to `serve` until `stop`.
void accept_loop(int listen_fd, const std::atomic<bool> &stop, const std::function<void(int)> &serve) {
  while (!stop) {
    pollfd p = {listen_fd, POLLIN, 0};
    int fd = poll(&p, 1, 20) > 0 ? accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd >= 0) serve(fd);
  }
}

}  // namespace

int count_open_fds(pid_t pid) {
  std::error_code gone, vanished;
  int count = 0;  // the liveness check holds a /proc file for a moment each turn: not a leak
  for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", gone))
    count += std::filesystem::read_symlink(fd.path(), vanished).string().rfind("/proc/", 0) != 0;
  return gone ? -1 : count;
}

long busiest_thread_wakeups(int ms) {
  auto sample = [] {
    std::map<std::string, long> switches;
    std::error_code gone;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", gone)) {
      std::string status = read_file(task.path().string() + "/status");
      size_t at = status.find("voluntary_ctxt_switches:");
      if (at != std::string::npos) switches[task.path().filename()] = atol(status.c_str() + at + 24);
    }
    return switches;
  };
  auto before = sample();
  usleep(static_cast<useconds_t>(ms) * 1000);
  long most = 0;
  for (const auto &[thread, count] : sample())
    if (before.count(thread) != 0) most = std::max(most, count - before[thread]);
  return most;
}

namespace {

void remove_tree(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace

temp_dir::temp_dir(const std::string &tag) : path("/tmp/sealgate-test-" + tag + "-XXXXXX") {
  if (mkdtemp(path.data()) == nullptr) abort();
}
temp_dir::~temp_dir() { remove_tree(path); }

std::string read_file(const std::string &path) {
  std::stringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string deterministic_bytes(size_t length, unsigned seed) {
  std::string out(length, '\0');
  std::minstd_rand next(seed + 1);
  for (char &c : out) c = static_cast<char>(next() >> 7);
  return out;
}

// Below the ephemeral range, so that no outgoing connection takes a port a
// test is about to listen on (or a certificate names).
int free_port() {
  static unsigned seed = static_cast<unsigned>(getpid());
  for (;;) {
    int port = 20000 + static_cast<int>(rand_r(&seed) % 12000), fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    bool free = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;
  }
}

pid_t spawn(const std::vector<std::string> &argv, const child_options &options) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  rlimit limit = {static_cast<rlim_t>(options.nofile_limit), static_cast<rlim_t>(options.nofile_limit)};
  if (options.nofile_limit > 0) setrlimit(RLIMIT_NOFILE, &limit);
  int out = open(options.output.empty() ? "/dev/null" : options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY), 0);
  dup2(out, 1);
  dup2(out, 2);
  for (int fd = 3; fd < 1024; fd++) close(fd);
  std::vector<std::string> command = argv;
  if (!options.resolv_conf.empty())
    command.insert(command.begin(), {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                     "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", options.resolv_conf});
  std::vector<char *> args;
  for (const std::string &arg : command) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool wait_exit(pid_t pid, int timeout_ms, int *status) {
  int raw = 0;
  if (!eventually([&] { return waitpid(pid, &raw, WNOHANG) == pid; }, timeout_ms)) return false;
  if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  return true;
}

void kill_and_reap(pid_t pid) {
  if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
}

int run_shell(const std::string &command, std::string *output, int timeout_ms) {
  temp_dir dir("shell");
  pid_t pid = spawn({"/bin/bash", "-c", command}, {0, dir.path + "/out.txt"});
  int status = -1;
  if (!wait_exit(pid, timeout_ms, &status)) kill_and_reap(pid);
  if (output != nullptr) *output = read_file(dir.path + "/out.txt");
  return status;
}

long cpu_ticks(pid_t pid) {  // utime + stime: the 14th and 15th fields
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat"), skip;
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  long user = 0, system = 0;
  for (int i = 3; i < 14; i++) fields >> skip;
  return fields >> user >> system ? user + system : -1;
}

sealgate_process::sealgate_process(std::vector<std::string> args, const child_options &options) {
  port_ = free_port();
  std::vector<std::string> argv = {SEALGATE_BINARY, "-l", logs_.path, "-sp", std::to_string(port_)};
  argv.insert(argv.end(), args.begin(), args.end());
  child_options with_output = options;
  with_output.output = logs_.path + "/stdout.txt";
  pid_ = spawn(argv, with_output);
  // Ready once it listens and each thread holds its socket diagnostics
  // channel, each worker its epoll set, wake-up descriptor and mailbox too:
  // the count is then the baseline.
  const int at_least = 3 + 1 + 1 + 2 + 4 * 20;  // std streams, log file, listener, main's epoll and channel, workers
  auto ended = [this] { return read_file("/proc/" + std::to_string(pid_) + "/stat").find(") Z ") != std::string::npos; };
  if (eventually([&] { return log().find("Listening on socket") != std::string::npos; }, 10000) &&
      eventually([&] { return count_open_fds(pid_) >= at_least || ended(); }) && !ended())
    baseline_ = count_open_fds(pid_);
}

sealgate_process::~sealgate_process() {
  if (pid_ <= 0) return;
  int status = stop();
  std::string all = status != 0 ? log() : "";
  EXPECT_EQ(status, 0) << "sealgate did not stop cleanly on SIGTERM (a negative status is the signal that "
                          "ended it, -1 no end in time); its output:\n"
                       << read_file(logs_.path + "/stdout.txt") << "the end of its log:\n"
                       << all.substr(all.size() > 3000 ? all.size() - 3000 : 0);
}

std::string read_logs(const std::string &dir) {
  std::string all;
  return run_shell("cat '" + dir + "'/*.log 2>/dev/null", &all) >= 0 ? all : "";
}
std::string sealgate_process::log() const { return read_logs(logs_.path); }

bool sealgate_process::wait_for_log(const std::string &text) const {
  return eventually([&] { return log().find(text) != std::string::npos; });
}
bool sealgate_process::fds_at_baseline() const {
  return eventually([&] { return count_open_fds(pid_) == baseline_; });
}

bool sealgate_process::wait_exit(int timeout_ms, int *status) {
  if (pid_ <= 0 || !testing_support::wait_exit(pid_, timeout_ms, status)) return false;
  pid_ = -1;
  std::string output = read_file(logs_.path + "/stdout.txt");
  if (output.find("Sanitizer") != std::string::npos || output.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "sanitizer report from sealgate:\n" << output;
  return true;
}

int sealgate_process::stop() {
  kill(pid_, SIGTERM);
  int status = -1;
  if (!wait_exit(k_wait_ms, &status)) {
    kill_and_reap(pid_);
    pid_ = -1;
  }
  return status;
}

const std::string k_status_reply = "{\"Status\": \"Continue\"}";

std::string addr(int port) { return "127.0.0.1:" + std::to_string(port); }

int connect_tcp(int port, int receive_buffer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && close(fd) == 0) return -1;
  return fd;
}

bool send_all(int fd, const std::string &data) {
  for (size_t at = 0; at < data.size();) {
    ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) return false;
    at += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

std::string recv_bytes(int fd, size_t length, bool *eof, int wait_ms) {
  std::string out;
  std::vector<char> buffer(1 << 16);
  bool ended = false;
  for (pollfd p = {fd, POLLIN, 0}; out.size() < length && poll(&p, 1, wait_ms) > 0;) {
    ssize_t n = recv(fd, buffer.data(), std::min(buffer.size(), length - out.size()), 0);
    if ((ended = n <= 0)) break;
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  if (eof != nullptr) *eof = ended;
  return out;
}

std::string request_json(const std::string &server_addr, bool skip_verify, const std::string &extra, int seconds) {
  std::string json = "{\"ServerAddr\": \"" + server_addr + "\", \"SkipVerify\": " + (skip_verify ? "true" : "false") +
                     ", \"UseECA\": false, \"SecondsPerTry\": " + std::to_string(seconds) + ", \"Proxy\": \"\"";
  if (extra.find("CACertPemFile") == std::string::npos)
    json += ", \"CACertPemFile\": \"" + shared_pki().path("root.pem") + "\"";
  return json + (extra.empty() ? "" : ", " + extra) + "}";
}

std::string client_key_json(const std::string &pass_file) {
  const test_pki &pki = shared_pki();
  return "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" + pki.path("client.enc.key") + "\"" +
         (pass_file.empty() ? "" : ", \"PassPhraseFile\": \"" + pass_file + "\"");
}

int open_relay(int sealgate_port, const std::string &request, std::string *reply, int receive_buffer, int wait_ms) {
  int fd = connect_tcp(sealgate_port, receive_buffer);
  send_all(fd, request);
  *reply = recv_bytes(fd, k_status_reply.size(), nullptr, wait_ms);
  return fd;
}

bool closed_without_a_byte(int fd) {
  bool eof = false;
  std::string got = recv_bytes(fd, std::string::npos, &eof);
  close(fd);
  return got.empty() && eof;
}

std::string echo_through(int fd, const std::string &data) {
  std::thread writer([&] { send_all(fd, data); });
  std::string back = recv_bytes(fd, data.size());
  shutdown(fd, SHUT_WR);  // a writer still blocked gives up
  writer.join();
  return back;
}

const test_pki &shared_pki() {
  static test_pki pki = [] {
    test_pki made{"/tmp/sealgate-test-pki-XXXXXX", free_port(), free_port(), free_port()};
    if (mkdtemp(made.dir.data()) == nullptr) abort();
    std::string command = "bash '" SEALGATE_SOURCE_DIR "/tests/pki.sh' '" + made.dir + "' " +
                          std::to_string(made.ocsp_port) + " " + std::to_string(made.closed_port) + " " +
                          std::to_string(made.inject_port) + " >/dev/null 2>&1";
    if (system(command.c_str()) != 0) abort();
    return made;
  }();
  [[maybe_unused]] static int removed_at_exit = std::atexit([] { remove_tree(pki.dir); });  // before pki goes
  return pki;
}

tls_test_server::tls_test_server(const tls_server_options &options) : options_(options) {
  const test_pki &pki = shared_pki();
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_use_certificate_chain_file(ctx_, pki.path(options_.leaf + (options_.send_chain ? ".chain.pem" : ".pem")).c_str());
  SSL_CTX_use_PrivateKey_file(ctx_, pki.path(options_.leaf + ".key").c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);  // tickets alone resume, when asked for
  if (!options_.tickets) SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
  SSL_CTX_set_tlsext_servername_arg(ctx_, this);
  SSL_CTX_set_tlsext_servername_callback(ctx_, +[](SSL *ssl, int *, void *self) {
    const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    std::string leaf = static_cast<tls_test_server *>(self)->options_.named_leaf;
    if (!leaf.empty() && name != nullptr && std::string(name) == "localhost" &&
        SSL_use_certificate_chain_file(ssl, shared_pki().path(leaf + ".chain.pem").c_str()) == 1)
      SSL_use_PrivateKey_file(ssl, shared_pki().path(leaf + ".key").c_str(), SSL_FILETYPE_PEM);
    return SSL_TLSEXT_ERR_OK;
  });
  SSL_CTX_set_session_id_context(ctx_, reinterpret_cast<const unsigned char *>("test"), 4);
  if (options_.client_certificate) {
    SSL_CTX_load_verify_locations(ctx_, pki.path("root.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  source_ = deterministic_bytes(options_.source_bytes, 7);
  listen_fd_ = listen_on(0, &port_);
  std::lock_guard<std::mutex> guard(lock_);  // the acceptor adds its threads under the same lock
  threads_.emplace_back([this] {
    accept_loop(listen_fd_, stop_, [this](int fd) {
      std::lock_guard<std::mutex> guard(lock_);
      threads_.emplace_back([this, fd] { serve(fd); });
    });
  });
}

tls_test_server::~tls_test_server() {
  stop_ = true;
  for (size_t i = 0;; i++) {
    std::unique_lock<std::mutex> guard(lock_);
    if (i >= threads_.size()) break;
    std::thread thread = std::move(threads_[i]);
    guard.unlock();
    thread.join();
  }
  close(listen_fd_);
  SSL_CTX_free(ctx_);
}

std::vector<server_observation> tls_test_server::observations(size_t count) {
  eventually([&] {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_.size() >= count;
  });
  std::lock_guard<std::mutex> guard(lock_);
  return seen_;
}

void tls_test_server::serve(int fd) {
  // A write to a peer that has gone gives EPIPE here instead of ending the
  // test; only this thread blocks the signal, so one of sealgate's would show.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  using misbehaviour = tls_server_options::misbehaviour;
  const tls_server_options &o = options_;
  server_observation seen;
  auto pause_ms = [this](int ms) { eventually([this] { return stop_.load(); }, ms); };
  timeval tick = {0, 50000};  // blocking, but a stop is noticed
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  SSL *ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (o.source_with_finished)  // corked from the client's Finished until the source is written
    SSL_set_msg_callback(ssl, [](int write_p, int, int type, const void *message, size_t, SSL *s, void *) {
      int on = 1;
      if (!write_p && type == SSL3_RT_HANDSHAKE && *static_cast<const unsigned char *>(message) == SSL3_MT_FINISHED)
        setsockopt(SSL_get_fd(s), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    });
  char buffer[65536];
  // A call that failed only because the read's tick ran out (and no stop came).
  auto tick_ran_out = [&](int error) {
    return !stop_ && (error == SSL_ERROR_WANT_READ || (error == SSL_ERROR_SYSCALL && errno == EAGAIN));
  };
  // 1 with bytes, 0 when nothing came in time, -1 at the end (a close_notify is noted).
  auto read_some = [&](int *n) {
    ERR_clear_error();
    if ((*n = SSL_read(ssl, buffer, sizeof buffer)) > 0) return 1;
    int error = SSL_get_error(ssl, *n);
    seen.close_notify |= error == SSL_ERROR_ZERO_RETURN;
    return tick_ran_out(error) ? 0 : -1;
  };
  // A blocking write takes all or fails. Inside a renegotiation it reads the
  // client's answer first, and the read's tick may run out before it comes.
  auto write_all = [&](const char *data, size_t length) {
    for (;;) {
      int n = SSL_write(ssl, data, static_cast<int>(length));
      if (n == static_cast<int>(length)) return true;
      if (!tick_ran_out(SSL_get_error(ssl, n))) return false;
    }
  };
  int rc;
  while ((rc = SSL_accept(ssl)) != 1 && tick_ran_out(SSL_get_error(ssl, rc))) {
  }
  if (rc == 1) {
    const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    seen.sni = name ? name : "";
    seen.version = SSL_version(ssl);
    seen.client_certificate = SSL_get0_peer_certificate(ssl) != nullptr;
    seen.resumed = SSL_session_reused(ssl) == 1;
    if (o.misbehave == misbehaviour::renegotiate_then_stall) {
      SSL_renegotiate(ssl);  // asks for a new handshake and never answers the client's hello
      SSL_do_handshake(ssl);
      pause_ms(1 << 30);
    }
    pause_ms(o.hold_ms);
    linger reset = {1, 0};
    if (o.misbehave == misbehaviour::reset_after_hold) setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    bool going = o.misbehave == misbehaviour::none;
    size_t next_renegotiation = o.renegotiate_every;
    size_t at = 0;  // of the source sent
    auto send_record = [&] {
      size_t length = std::min(source_.size() - at, static_cast<size_t>(o.record_size));
      at += length;
      return write_all(source_.data() + at - length, length);
    };
    while (going && !o.source_while_reading && at < source_.size()) {
      if (o.source_burst_from > 0 && at == o.source_burst_from) {
        pause_ms(200);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
      }
      going = send_record();
    }
    int off = 0;
    setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    int n;
    while (going && !o.close_after_source && (!o.source_while_reading || at == source_.size() || send_record()) &&
           read_some(&n) >= 0) {
      if (n <= 0) continue;
      seen.received.append(buffer, static_cast<size_t>(n));
      if (o.read_pause_us > 0) usleep(static_cast<useconds_t>(o.read_pause_us));
      if (o.echo && !write_all(buffer, static_cast<size_t>(n))) break;
      if (o.renegotiate_every > 0 && seen.received.size() >= next_renegotiation && SSL_is_init_finished(ssl)) {
        next_renegotiation += o.renegotiate_every;
        if (o.renegotiation_wants_certificate)
          SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, [](int, X509_STORE_CTX *) { return 1; });
        SSL_renegotiate(ssl);
        SSL_do_handshake(ssl);  // sends the request; the client's answer comes through SSL_read
      }
    }
    if (going) SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  close(fd);
  std::lock_guard<std::mutex> guard(lock_);
  seen_.push_back(seen);
}

raw_server::raw_server(int port, std::function<void(int)> behave) {
  fd_ = listen_on(port, &port_);
  thread_ = std::thread([this, behave] {
    accept_loop(fd_, stop_, [&](int fd) {
      connections_++;
      behave(fd);
    });
  });
}

raw_server::~raw_server() {
  stop_ = true;
  thread_.join();
  close(fd_);
}

mute_server::mute_server(int port) {
  server_ = std::make_unique<raw_server>(port, [this](int fd) {
    std::lock_guard<std::mutex> guard(lock_);
    held_.push_back(fd);
  });
}

mute_server::~mute_server() {
  server_.reset();
  hang_up();
}

void mute_server::hang_up() {
  std::lock_guard<std::mutex> guard(lock_);
  for (int fd : held_) close(fd);
  held_.clear();
}

silent_listener::silent_listener() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t length = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 0) != 0) ADD_FAILURE() << "no listener";
  getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length);
  port_ = ntohs(a.sin_port);
  filler_ = connect_tcp(port_);  // the one connection a backlog of 0 holds
}

silent_listener::~silent_listener() {
  close(filler_);
  close(fd_);
}

std::function<void(int)> answer_good_after(int delay_ms) {
  return [delay_ms](int fd) {
    std::string response = read_file(shared_pki().path("good.resp.der"));
    recv_bytes(fd, 1);  // the request has come
    usleep(static_cast<useconds_t>(delay_ms) * 1000);
    send_all(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: " +
                     std::to_string(response.size()) + "\r\n\r\n" + response);
    shutdown(fd, SHUT_WR);
    recv_bytes(fd);  // the rest of the request, until the client closes: no reset
    close(fd);
  };
}

ocsp_responder::ocsp_responder(int port, const std::string &signer) {
  const test_pki &pki = shared_pki();
  std::string out = dir_.path + "/out.txt";
  pid_ = spawn({"/usr/bin/openssl", "ocsp", "-index", pki.path("index.txt"), "-port", std::to_string(port), "-rsigner",
                pki.path(signer + ".pem"), "-rkey", pki.path(signer + ".key"), "-CA", pki.path("inter.pem"), "-ignore_err"},
               {0, out});
  // A probe connection would wedge it (it serves one client at a time): its own line says it is ready.
  if (!eventually([&] { return read_file(out).find("waiting for OCSP client") != std::string::npos; }))
    ADD_FAILURE() << "the OCSP responder did not start";
}

int ocsp_responder::requests() const {
  std::string out = read_file(dir_.path + "/out.txt");
  int count = 0;
  for (size_t at = 0; (at = out.find("Received request", at)) != std::string::npos; at++) count++;
  return count;
}

handshaken_task::handshaken_task(int port, const std::string &server_addr) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return;
  connection_info info;
  info.server_addr = server_addr.empty() ? addr(port) : server_addr;
  info.skip_verify = true;
  info.ca_cert_pem_file = shared_pki().path("root.pem");
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  client_end = pair[1];
  task = start_task(epoll_fd, new sealgate_task(info, pair[0]));
  eventually([&] {
    epoll_event event;
    if (task != nullptr && epoll_wait(epoll_fd, &event, 1, 10) == 1 &&
        run_task(epoll_fd, task, event.data.fd, event.events).finished) {
      delete task;
      task = nullptr;
    }
    return task == nullptr || task->state == task_state::FORWARD;
  });
}

handshaken_task::~handshaken_task() {
  delete task;
  close(client_end);
  close(epoll_fd);
  clear_context_cache();  // as sealgate does at its stop
}

}  // namespace testing_support
