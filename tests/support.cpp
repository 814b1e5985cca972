#include "support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/epoll.h>

#include "engine.h"
#include "tls.h"

namespace testing_support {

using clock_type = std::chrono::steady_clock;

static long elapsed_ms(clock_type::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

std::string make_temp_dir(const std::string &tag) {
  std::string pattern = "/tmp/sealgate-test-" + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) abort();
  return buffer.data();
}

void remove_tree(const std::string &path) {
  if (path.rfind("/tmp/sealgate-test-", 0) != 0) return;
  std::string command = "rm -rf '" + path + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int free_fixed_port() {
  static unsigned seed = static_cast<unsigned>(getpid());
  for (int attempt = 0; attempt < 1000; attempt++) {
    int port = 20000 + static_cast<int>(rand_r(&seed) % 12000);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  abort();
}

pid_t spawn(const std::vector<std::string> &argv, const child_options &options) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (options.nofile_limit > 0) {
    struct rlimit limit = {static_cast<rlim_t>(options.nofile_limit), static_cast<rlim_t>(options.nofile_limit)};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  int out = open(options.stdout_path.empty() ? "/dev/null" : options.stdout_path.c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, 1);
  dup2(out, 2);
  int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
  dup2(in, 0);
  for (int fd = 3; fd < 1024; fd++) close(fd);
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool wait_exit(pid_t pid, int timeout_ms, int *status) {
  auto start = clock_type::now();
  while (elapsed_ms(start) < timeout_ms) {
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
      return true;
    }
    usleep(10000);
  }
  return false;
}

void kill_and_reap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

int count_open_fds(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // The liveness check reads /proc/PID/stat for a moment each turn: not a leak.
    char target[256] = "";
    std::string link = path + "/" + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && strncmp(target, "/proc/", 6) == 0) continue;
    count++;
  }
  closedir(dir);
  return count;
}

long cpu_ticks(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t at = stat.rfind(')');
  if (at == std::string::npos) return -1;
  std::istringstream fields(stat.substr(at + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; i++) {
    if (i == 14) utime = atol(field.c_str());
    if (i == 15) {
      stime = atol(field.c_str());
      break;
    }
  }
  return utime + stime;
}

long rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

std::string sealgate_binary() { return SEALGATE_BINARY; }
std::string connect_tool_binary() { return SEALGATE_CONNECT_BINARY; }
std::string source_dir() { return SEALGATE_SOURCE_DIR; }

size_t count_occurrences(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) count++;
  return count;
}

// ---- sealgate ----

sealgate_process::sealgate_process(std::vector<std::string> extra_args, const child_options &options) {
  log_dir_ = make_temp_dir("log");
  port_ = free_port();
  std::vector<std::string> argv = {sealgate_binary(), "-l", log_dir_, "-sp", std::to_string(port_)};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  child_options with_output = options;
  if (with_output.stdout_path.empty()) with_output.stdout_path = log_dir_ + "/stdout.txt";
  pid_ = spawn(argv, with_output);
  ready_ = wait_for_log("Created ", 10000);
  if (ready_) ready_ = wait_for_log("Listening on socket", 1000);
  // Workers open their epoll sets after "Created": wait until every one has,
  // so that descriptor counts taken from here on are a stable baseline.
  // std streams, log file, listener, main epoll, and each worker's epoll set and socket-diagnostics channel
  const int workers = 20, at_least = 3 + 1 + 1 + 1 + 2 * workers;
  for (int i = 0; ready_ && i < 200 && count_open_fds(pid_) < at_least; i++) usleep(10000);
}

sealgate_process::~sealgate_process() {
  if (pid_ > 0) {
    int status = 0;
    kill(pid_, SIGTERM);
    if (!testing_support::wait_exit(pid_, 5000, &status)) {
      kill_and_reap(pid_);
      ADD_FAILURE() << "sealgate did not stop within 5 s of SIGTERM";
    } else if (status != 0) {
      ADD_FAILURE() << "sealgate exited with " << status;
    }
  }
  check_sanitizer_output();
  remove_tree(log_dir_);
}

// A sanitizer report from the child fails the test that ran it.
void sealgate_process::check_sanitizer_output() const {
  std::string output = read_file(log_dir_ + "/stdout.txt");
  if (output.find("Sanitizer") != std::string::npos || output.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "sanitizer report from sealgate:\n" << output;
}

std::string read_logs(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string &name : names) all += read_file(dir + "/" + name);
  return all;
}

std::string sealgate_process::log() const { return read_logs(log_dir_); }

bool sealgate_process::wait_for_log(const std::string &text, int timeout_ms, int count) const {
  auto start = clock_type::now();
  do {
    if (count_occurrences(log(), text) >= static_cast<size_t>(count)) return true;
    usleep(20000);
  } while (elapsed_ms(start) < timeout_ms);
  return false;
}

bool sealgate_process::wait_exit(int timeout_ms, int *status) {
  if (pid_ <= 0 || !testing_support::wait_exit(pid_, timeout_ms, status)) return false;
  pid_ = -1;
  check_sanitizer_output();
  return true;
}

int sealgate_process::stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = -1;
  if (!testing_support::wait_exit(pid_, timeout_ms, &status)) {
    kill_and_reap(pid_);
    status = -1;
  }
  pid_ = -1;
  check_sanitizer_output();
  return status;
}

// ---- sockets ----

int connect_tcp(int port, const char *host) {
  struct sockaddr_storage storage = {};
  socklen_t length;
  int family;
  if (strchr(host, ':') != nullptr) {
    auto *address = reinterpret_cast<sockaddr_in6 *>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, host, &address->sin6_addr);
    length = sizeof *address;
    family = AF_INET6;
  } else {
    auto *address = reinterpret_cast<sockaddr_in *>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &address->sin_addr);
    length = sizeof *address;
    family = AF_INET;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const void *data, size_t length) {
  const char *bytes = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Reads until `limit` bytes, end of stream (or a receive error) or the time
// limit; *ended tells whether the stream ended.
static std::string recv_within(int fd, size_t limit, int timeout_ms, bool *ended) {
  std::string out;
  auto start = clock_type::now();
  char buffer[65536];
  *ended = false;
  while (out.size() < limit) {
    long left = timeout_ms - elapsed_ms(start);
    if (left <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = recv(fd, buffer, std::min(sizeof buffer, limit - out.size()), 0);
    if (n <= 0) {
      *ended = true;
      break;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string recv_bytes(int fd, size_t length, int timeout_ms) {
  bool ended;
  return recv_within(fd, length, timeout_ms, &ended);
}

std::string recv_until_eof(int fd, int timeout_ms, bool *eof) {
  bool ended;
  std::string out = recv_within(fd, std::string::npos, timeout_ms, &ended);
  if (eof != nullptr) *eof = ended;
  return out;
}

const std::string k_status_reply = "{\"Status\": \"Continue\"}";

std::string request_json(const std::string &server_addr, bool skip_verify, const std::string &extra) {
  std::string json = "{\"ServerAddr\": \"" + server_addr + "\", \"SkipVerify\": " + (skip_verify ? "true" : "false") +
                     ", \"UseECA\": false, \"SecondsPerTry\": 10, \"Proxy\": \"\"";
  if (extra.find("CACertPemFile") == std::string::npos)
    json += ", \"CACertPemFile\": \"" + shared_pki().path("root.pem") + "\"";
  if (!extra.empty()) json += ", " + extra;
  return json + "}";
}

int open_relay(int sealgate_port, const std::string &request, std::string *reply, int timeout_ms) {
  int fd = connect_tcp(sealgate_port);
  if (fd < 0) return -1;
  send_all(fd, request.data(), request.size());
  *reply = recv_bytes(fd, k_status_reply.size(), timeout_ms);
  return fd;
}

// ---- PKI ----

const test_pki &shared_pki() {
  static test_pki pki = [] {
    test_pki made;
    made.dir = make_temp_dir("pki");
    // Outside the ephemeral range, so that no outgoing connection of a test
    // running alongside takes them as its local port before they are used.
    made.ocsp_port = free_fixed_port();
    made.closed_port = free_fixed_port();
    made.inject_port = free_fixed_port();
    std::string command = "bash '" + source_dir() + "/tests/pki.sh' '" + made.dir + "' " +
                          std::to_string(made.ocsp_port) + " " + std::to_string(made.closed_port) + " " +
                          std::to_string(made.inject_port) + " >/dev/null 2>&1";
    if (system(command.c_str()) != 0) abort();
    return made;
  }();
  static const bool cleanup_registered = [] {
    std::atexit([] { remove_tree(shared_pki().dir); });  // the PKI lives as long as the test process
    return true;
  }();
  (void)cleanup_registered;
  return pki;
}

std::string deterministic_bytes(size_t length, unsigned seed) {
  std::string out(length, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; i++) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<char>(state & 0xff);
  }
  return out;
}

sealgate_task *handshaken_task(int port, int *epoll_fd, int *client_end) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
  connection_info info;
  info.server_addr = "127.0.0.1:" + std::to_string(port);
  info.skip_verify = true;
  info.ca_cert_pem_file = shared_pki().path("root.pem");
  *epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  *client_end = pair[1];
  sealgate_task *task = start_task(*epoll_fd, new sealgate_task(info, pair[0]));
  for (int i = 0; task != nullptr && task->state != FORWARD && i < 200; i++) {
    struct epoll_event event;
    if (epoll_wait(*epoll_fd, &event, 1, 20) == 1 && handshake_server(*epoll_fd, task) != 0) break;
  }
  if (task == nullptr || task->state != FORWARD) {
    release_task(task, *epoll_fd, pair[1]);
    return nullptr;
  }
  return task;
}

void release_task(sealgate_task *task, int epoll_fd, int client_end) {
  delete task;
  close(client_end);
  close(epoll_fd);
  clear_context_cache();  // as sealgate does at its stop
}

// ---- TLS server ----

static int listen_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  listen(fd, 512);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

tls_test_server::tls_test_server(const tls_server_options &options) : options_(options) {
  if (options_.cert.empty()) {
    options_.cert = shared_pki().path("good.chain.pem");
    options_.key = shared_pki().path("good.key");
  }
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx_, options_.tls13_allowed ? TLS1_3_VERSION : TLS1_2_VERSION);
  SSL_CTX_use_certificate_chain_file(ctx_, options_.cert.c_str());
  SSL_CTX_use_PrivateKey_file(ctx_, options_.key.c_str(), SSL_FILETYPE_PEM);
  // A client may offer to resume its session, also in a renegotiation.
  SSL_CTX_set_session_id_context(ctx_, reinterpret_cast<const unsigned char *>("sealgate-test"), 13);
  if (!options_.client_ca.empty()) {
    SSL_CTX_load_verify_locations(ctx_, options_.client_ca.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  if (options_.mode == server_mode::source_then_close || options_.mode == server_mode::source_then_hold)
    source_ = deterministic_bytes(options_.source_bytes, 7);
  listen_fd_ = listen_loopback(&port_);
  acceptor_ = std::thread([this] { accept_loop(); });
}

tls_test_server::~tls_test_server() {
  stop_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    workers.swap(workers_);
  }
  for (std::thread &worker : workers) worker.join();
  SSL_CTX_free(ctx_);
}

std::vector<server_observation> tls_test_server::observations() {
  std::lock_guard<std::mutex> guard(lock_);
  return observations_;
}

std::vector<server_observation> tls_test_server::wait_observations(size_t count, int timeout_ms) {
  auto start = clock_type::now();
  while (observations().size() < count && elapsed_ms(start) < timeout_ms) usleep(10000);
  return observations();
}

void tls_test_server::accept_loop() {
  while (!stop_) {
    struct pollfd p = {listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_++;
    std::lock_guard<std::mutex> guard(lock_);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

// Waits for readability while the server runs; false when stopping.
static bool wait_readable(int fd, const std::atomic<bool> &stop, SSL *ssl) {
  while (!stop) {
    if (ssl != nullptr && SSL_pending(ssl) > 0) return true;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) return true;
  }
  return false;
}

void tls_test_server::serve(int fd) {
  // The library writes with write(): a peer that has gone (sealgate ending
  // the server side) must give EPIPE here, not end the test process. Only
  // this thread blocks the signal, so the tests still see a SIGPIPE that
  // sealgate's own code would raise.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  server_observation seen;
  if (options_.mode == server_mode::reset_in_handshake) {
    char hello[512];
    if (wait_readable(fd, stop_, nullptr)) (void)!recv(fd, hello, sizeof hello, 0);
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
    return;
  }
  if (options_.mode == server_mode::stall) {
    while (!stop_) usleep(20000);
    close(fd);
    return;
  }
  SSL *ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  // The socket is blocking; a receive timeout lets the thread notice a stop.
  struct timeval tick = {0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  int rc;
  while ((rc = SSL_accept(ssl)) != 1 && !stop_) {
    int error = SSL_get_error(ssl, rc);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE && !(error == SSL_ERROR_SYSCALL && errno == EAGAIN))
      break;
  }
  if (rc == 1) {
    const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    seen.sni = name ? name : "";
    seen.version = SSL_version(ssl);
    X509 *peer = SSL_get1_peer_certificate(ssl);
    seen.client_cert = peer != nullptr;
    X509_free(peer);
    std::string received;
    char buffer[65536];
    auto read_some = [&](int *n) {
      ERR_clear_error();
      *n = SSL_read(ssl, buffer, sizeof buffer);
      if (*n > 0) return 1;
      int error = SSL_get_error(ssl, *n);
      if (error == SSL_ERROR_WANT_READ || (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return stop_ ? -1 : 0;
      return -1;
    };
    if (options_.mode == server_mode::renegotiate_then_stall) {
      // Asks for a new handshake and never answers the client's hello.
      SSL_renegotiate(ssl);
      SSL_do_handshake(ssl);
      while (!stop_) usleep(20000);
      SSL_free(ssl);
      close(fd);
      return;
    }
    if (options_.mode == server_mode::hold_then_reset) {
      for (int waited = 0; waited < options_.hold_ms && !stop_; waited += 10) usleep(10000);
      struct linger hard = {1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      SSL_free(ssl);
      close(fd);
      std::lock_guard<std::mutex> guard(lock_);
      observations_.push_back(seen);
      return;
    }
    if (options_.mode == server_mode::source_then_close || options_.mode == server_mode::source_then_hold) {
      size_t at = 0;
      while (at < source_.size() && !stop_) {
        int chunk = static_cast<int>(std::min<size_t>(options_.source_write_chunk, source_.size() - at));
        int n = SSL_write(ssl, source_.data() + at, chunk);
        if (n > 0) at += static_cast<size_t>(n);
        else if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_WRITE) break;
      }
      if (options_.mode == server_mode::source_then_hold) {
        int n;
        while (!stop_) {  // read until the peer goes, sending nothing more
          int r = read_some(&n);
          if (r < 0) break;
        }
      }
      SSL_shutdown(ssl);
    } else if (options_.mode == server_mode::http) {
      int n;
      while (received.find("\r\n\r\n") == std::string::npos) {
        int r = read_some(&n);
        if (r < 0) break;
        if (r > 0) received.append(buffer, static_cast<size_t>(n));
      }
      std::string body = "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\nhello from the test server\n";
      SSL_write(ssl, body.data(), static_cast<int>(body.size()));
      SSL_shutdown(ssl);
    } else {
      if (options_.mode == server_mode::hold_then_echo || options_.mode == server_mode::hold_then_sink) {
        for (int waited = 0; waited < options_.hold_ms && !stop_; waited += 10) usleep(10000);
      }
      int n;
      bool renegotiated = false;
      for (;;) {
        int r = read_some(&n);
        if (r < 0) break;
        if (r == 0) continue;
        received.append(buffer, static_cast<size_t>(n));
        if (options_.read_pause_us > 0) usleep(static_cast<useconds_t>(options_.read_pause_us));
        if (options_.renegotiate_after > 0 && received.size() >= options_.renegotiate_after && !renegotiated) {
          renegotiated = true;
          if (options_.renegotiation_wants_certificate)
            SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, [](int, X509_STORE_CTX *) { return 1; });
          SSL_renegotiate(ssl);
          SSL_do_handshake(ssl);  // sends the request; the client's answer arrives through SSL_read
        }
        if (options_.mode != server_mode::sink && options_.mode != server_mode::hold_then_sink) {
          int at = 0;
          while (at < n) {
            int w = SSL_write(ssl, buffer + at, n - at);
            if (w <= 0) break;
            at += w;
          }
        }
      }
      if (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) SSL_shutdown(ssl);
    }
    seen.received = received.size();
    seen.digest_received = received;
  }
  SSL_free(ssl);
  close(fd);
  std::lock_guard<std::mutex> guard(lock_);
  observations_.push_back(seen);
}

// ---- forwarder ----

counting_forwarder::counting_forwarder(int listen_port, int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(listen_port));
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    ADD_FAILURE() << "forwarder cannot listen on port " << listen_port;
  listen(listen_fd_, 64);
  thread_ = std::thread([this] {
    while (!stop_) {
      struct pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int in = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (in < 0) continue;
      count_++;
      int out = connect_tcp(target_port_);
      std::lock_guard<std::mutex> guard(lock_);
      pipes_.emplace_back([this, in, out] {
        int fds[2] = {in, out};
        char buffer[16384];
        while (!stop_ && out >= 0) {
          struct pollfd p2[2] = {{in, POLLIN, 0}, {out, POLLIN, 0}};
          if (poll(p2, 2, 50) <= 0) continue;
          bool done = false;
          for (int i = 0; i < 2; i++) {
            if ((p2[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t n = recv(fds[i], buffer, sizeof buffer, 0);
            if (n <= 0 || !send_all(fds[1 - i], buffer, static_cast<size_t>(n))) done = true;
          }
          if (done) break;
        }
        close(in);
        if (out >= 0) close(out);
      });
    }
  });
}

counting_forwarder::~counting_forwarder() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
  for (std::thread &pipe : pipes_) pipe.join();
}

}  // namespace testing_support

namespace testing_support {

ocsp_responder::ocsp_responder(int port) {
  const test_pki &pki = shared_pki();
  output_ = make_temp_dir("ocsp") ;
  child_options options;
  options.stdout_path = output_ + "/out.txt";
  pid_ = spawn({"/usr/bin/openssl", "ocsp", "-index", pki.path("index.txt"), "-port", std::to_string(port), "-rsigner",
                pki.path("inter.pem"), "-rkey", pki.path("inter.key"), "-CA", pki.path("inter.pem"), "-ignore_err"},
               options);
  // A probe connection would wedge the responder, which serves one client at
  // a time and waits for a request on it: its own message says it is ready.
  auto start = clock_type::now();
  while (elapsed_ms(start) < 5000) {
    if (read_file(options.stdout_path).find("waiting for OCSP client connections") != std::string::npos) {
      ready_ = true;
      break;
    }
    usleep(20000);
  }
}

ocsp_responder::~ocsp_responder() {
  kill_and_reap(pid_);
  remove_tree(output_);
}

}  // namespace testing_support
