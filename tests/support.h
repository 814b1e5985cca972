// Shared helpers for the tests: temporary directories, free loopback ports,
// the real sealgate binary as a child process, its log, a client of the
// request protocol, and TLS servers built on OpenSSL inside the test.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <openssl/ssl.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

struct sealgate_task;

namespace testing_support {

std::string make_temp_dir(const std::string &tag);
void remove_tree(const std::string &path);
// A temporary directory for the life of the object.
struct temp_dir {
  std::string path;
  explicit temp_dir(const std::string &tag) : path(make_temp_dir(tag)) {}
  ~temp_dir() { remove_tree(path); }
};
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// A port that was free a moment ago on 127.0.0.1.
int free_port();
// A free port below the ephemeral range (for ports named inside certificates).
int free_fixed_port();

// ---- child processes ----
struct child_options {
  long nofile_limit = 0;  // when set, both soft and hard RLIMIT_NOFILE
  std::string stdout_path;
  int stdin_fd = -1;      // the child's standard input (default /dev/null)
};
pid_t spawn(const std::vector<std::string> &argv, const child_options &options = {});
// Waits for the child to end; true with its exit status in *status (or -signal).
bool wait_exit(pid_t pid, int timeout_ms, int *status);
void kill_and_reap(pid_t pid);
int count_open_fds(pid_t pid);
// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid);
long rss_kib(pid_t pid);

// ---- the sealgate binary ----
class sealgate_process {
 public:
  explicit sealgate_process(std::vector<std::string> extra_args = {}, const child_options &options = {});
  ~sealgate_process();
  bool started() const { return ready_; }
  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  const std::string &log_dir() const { return log_dir_; }
  std::string log() const;
  // Waits until the log holds `text` (count times); false on timeout.
  bool wait_for_log(const std::string &text, int timeout_ms = 5000, int count = 1) const;
  int stop(int timeout_ms = 5000);  // SIGTERM, returns the exit status (-1 on timeout)
  // Waits for sealgate to end by itself; true with its status once reaped.
  bool wait_exit(int timeout_ms, int *status);

 private:
  void check_sanitizer_output() const;
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
  std::string log_dir_;
};

// The *.log files of a log directory, concatenated in name order.
std::string read_logs(const std::string &dir);

std::string sealgate_binary();
std::string connect_tool_binary();
std::string source_dir();
size_t count_occurrences(const std::string &text, const std::string &needle);

// ---- plain sockets ----
int connect_tcp(int port, const char *host = "127.0.0.1");
bool send_all(int fd, const void *data, size_t length);
// Reads until `length` bytes, EOF or timeout.
std::string recv_bytes(int fd, size_t length, int timeout_ms = 5000);
// Reads until EOF (or timeout); *eof tells which.
std::string recv_until_eof(int fd, int timeout_ms = 5000, bool *eof = nullptr);
std::string request_json(const std::string &server_addr, bool skip_verify = true, const std::string &extra = "");
extern const std::string k_status_reply;

// Sends a request to sealgate and reads the reply; returns the fd, with
// *reply holding what came back first (22 bytes, or "" when closed).
int open_relay(int sealgate_port, const std::string &request, std::string *reply, int timeout_ms = 10000);

// ---- test PKI ----
struct test_pki {
  std::string dir;
  int ocsp_port = 0;    // where the leaves' responder URL points
  int closed_port = 0;  // a port nothing listens on
  int inject_port = 0;  // named in the "crlf" leaf's OCSP URL, which carries line breaks
  std::string path(const std::string &name) const { return dir + "/" + name; }
};
const test_pki &shared_pki();

// ---- TLS test server ----
enum class server_mode { echo, sink, source_then_close, source_then_hold, reset_in_handshake, stall, hold_then_echo, hold_then_sink, hold_then_reset, http, renegotiate_then_stall };

struct tls_server_options {
  server_mode mode = server_mode::echo;
  std::string cert;  // chain file
  std::string key;
  bool tls13_allowed = true;           // the server accepts 1.2 and 1.3
  std::string client_ca;               // when set, a client certificate is required
  size_t source_bytes = 0;             // for the source modes
  int hold_ms = 0;                     // for the hold modes: read nothing for this long
  int read_pause_us = 0;               // for the echo and sink modes: a pause after each read
  int source_write_chunk = 16384;
  size_t renegotiate_after = 0;        // echo: asks for a new handshake once this many bytes came
  bool renegotiation_wants_certificate = false;  // and asks for the client's certificate in it
};

struct server_observation {
  std::string sni;  // "" when no server name came
  int version = 0;
  bool client_cert = false;
  size_t received = 0;
  std::string digest_received;
};

class tls_test_server {
 public:
  explicit tls_test_server(const tls_server_options &options);
  ~tls_test_server();
  int port() const { return port_; }
  int connections() const { return connections_.load(); }
  std::vector<server_observation> observations();
  // Waits until `count` connections have finished; their observations.
  std::vector<server_observation> wait_observations(size_t count, int timeout_ms = 5000);
  const std::string &source_data() const { return source_; }

 private:
  void accept_loop();
  void serve(int fd);
  tls_server_options options_;
  SSL_CTX *ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> workers_;
  std::vector<server_observation> observations_;
  std::string source_;
};

// A TCP forwarder that counts the connections it carries.
class counting_forwarder {
 public:
  counting_forwarder(int listen_port, int target_port);
  ~counting_forwarder();
  int count() const { return count_.load(); }

 private:
  int listen_fd_ = -1;
  int target_port_;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::thread> pipes_;
};

std::string deterministic_bytes(size_t length, unsigned seed);

// A task of this process whose TLS handshake with the server on `port` the
// engine's own steps have completed (no certificate check); its client side
// is one end of a socket pair.
::sealgate_task *handshaken_task(int port, int *epoll_fd, int *client_end);
void release_task(::sealgate_task *task, int epoll_fd, int client_end);

}  // namespace testing_support

namespace testing_support {
// `openssl ocsp` answering for the test PKI's intermediate on a port.
class ocsp_responder {
 public:
  explicit ocsp_responder(int port);
  ~ocsp_responder();
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string output_;
};
}  // namespace testing_support
