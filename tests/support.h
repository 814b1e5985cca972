// Test support: the real binary, a client of its protocol, the test PKI, the
// peers (TLS server, plain TCP servers, `openssl ocsp`) and an in-process task.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

struct sealgate_task;

namespace testing_support {

constexpr int k_wait_ms = 3000;  // every ordinary wait: a test fails at the first answer not in time
// Sanitizer builds do the same work several times slower: bounds on how long
// a piece of work may take stretch by this much there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int k_slowdown = 5;
#else
constexpr int k_slowdown = 1;
#endif

struct temp_dir {
  std::string path;
  explicit temp_dir(const std::string &tag);
  ~temp_dir();
};
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::string deterministic_bytes(size_t length, unsigned seed);
int free_port();
struct sockaddr_in loopback(int port);
bool eventually(const std::function<bool()> &done, int timeout_ms = k_wait_ms);  // polls every 10 ms

struct child_options {
  long nofile_limit = 0;  // soft and hard RLIMIT_NOFILE when set
  std::string output;     // stdout and stderr (default /dev/null)
  int stdin_fd = -1;      // default /dev/null
  std::string resolv_conf;  // run in a mount namespace of its own, with this file as /etc/resolv.conf
};
pid_t spawn(const std::vector<std::string> &argv, const child_options &options = {});
bool wait_exit(pid_t pid, int timeout_ms, int *status);  // the exit status, or -signal
void kill_and_reap(pid_t pid);
int run_shell(  // a command line's exit status (-1 on time-out), its output in *output
    const std::string &command, std::string *output = nullptr, int timeout_ms = 2 * k_wait_ms);
long cpu_ticks(pid_t pid);
int count_open_fds(pid_t pid);
long busiest_thread_wakeups(int ms);  // the most times one thread of this process slept and woke in `ms`  // but the /proc files the process holds a moment

// The binary on a free port with a log directory of its own; the destructor
// fails the test unless SIGTERM stops it with 0 in time, without a sanitizer report.
class sealgate_process {
 public:
  explicit sealgate_process(std::vector<std::string> args = {"-L", "3"}, const child_options &options = {});
  ~sealgate_process();
  bool started() const { return baseline_ > 0; }
  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  const std::string &log_dir() const { return logs_.path; }
  std::string log() const;
  bool wait_for_log(const std::string &text) const;
  bool fds_at_baseline() const;  // the descriptors are back to their count after start-up
  int stop();                    // SIGTERM: the exit status
  bool wait_exit(int timeout_ms, int *status);

 private:
  temp_dir logs_{"log"};
  pid_t pid_ = -1;
  int port_ = 0, baseline_ = 0;
};
std::string read_logs(const std::string &dir);

extern const std::string k_status_reply;
std::string addr(int port);
int connect_tcp(int port, int receive_buffer = 0);
bool send_all(int fd, const std::string &data);
// Until `length` bytes, the end, or k_wait_ms without a byte.
std::string recv_bytes(int fd, size_t length = std::string::npos, bool *eof = nullptr, int wait_ms = k_wait_ms);
// A request with the SkipVerify given, naming the test CA file unless `extra` names one.
std::string request_json(const std::string &server_addr, bool skip_verify = true, const std::string &extra = "",
                         int seconds = 10);
std::string client_key_json(const std::string &pass_file);  // the client certificate and its encrypted key
// The descriptor, with the first bytes back in *reply ("" when closed).
int open_relay(int sealgate_port, const std::string &request, std::string *reply, int receive_buffer = 0,
               int wait_ms = k_wait_ms);
bool closed_without_a_byte(int fd);  // and closes fd
std::string echo_through(int fd, const std::string &data);  // sends from a thread while reading back

struct test_pki {  // tests/pki.sh, made once per test process
  std::string dir;
  int ocsp_port = 0;    // the responder URL of most leaves
  int closed_port = 0;  // the "closedport" leaf's responder URL
  int inject_port = 0;  // in the "crlf" leaf's responder URL, which carries line breaks
  std::string path(const std::string &name) const { return dir + "/" + name; }
};
const test_pki &shared_pki();

struct tls_server_options {
  std::string leaf = "good";        // certificate and key from the PKI
  std::string named_leaf;           // served instead to a client that names "localhost"
  bool send_chain = true;           // the leaf with its issuer, or alone
  bool client_certificate = false;  // required, signed by the test root
  bool tickets = false;             // issues session tickets
  int hold_ms = 0;                  // reads nothing this long after the handshake
  int read_pause_us = 0;            // after every read
  bool echo = true;
  size_t source_bytes = 0;          // sent first, in records of `record_size`,
  bool source_while_reading = false;  // or a record between reads
  int record_size = 16384;
  bool close_after_source = false;  // then close_notify
  bool source_with_finished = false;  // the source leaves in one segment with the handshake's last message
  size_t source_burst_from = 0;       // after this much of it, a pause, then the rest in one burst
  size_t renegotiate_every = 0;     // asks for a new handshake each time this many more bytes came,
  bool renegotiation_wants_certificate = false;  // and for the client's certificate in it
  enum class misbehaviour { none, renegotiate_then_stall, reset_after_hold } misbehave{};
};

struct server_observation {
  std::string sni;  // "" when no server name came
  int version = 0;
  bool client_certificate = false, resumed = false, close_notify = false;
  std::string received;
};

class tls_test_server {
 public:
  explicit tls_test_server(const tls_server_options &options = {});
  ~tls_test_server();
  int port() const { return port_; }
  // The finished connections, once `count` have finished or the wait is over.
  std::vector<server_observation> observations(size_t count = 1);
  const std::string &source() const { return source_; }

 private:
  void serve(int fd);
  tls_server_options options_;
  SSL_CTX *ctx_ = nullptr;
  int listen_fd_ = -1, port_ = 0;
  std::string source_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<std::thread> threads_;
  std::vector<server_observation> seen_;
};

// A plain TCP listener on `port` (0: a free one) handing each connection to `behave`.
class raw_server {
 public:
  raw_server(int port, std::function<void(int fd)> behave);
  ~raw_server();
  int port() const { return port_; }
  int connections() const { return connections_; }

 private:
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// A plain TCP listener on `port` that takes connections and the bytes sent
// on them and never answers; they are closed when it is destroyed.
class mute_server {
 public:
  explicit mute_server(int port);
  ~mute_server();
  void hang_up();  // closes the connections it holds

 private:
  std::mutex lock_;
  std::vector<int> held_;
  std::unique_ptr<raw_server> server_;
};

// A loopback listener whose backlog is full and which never accepts: the
// SYNs of further connects go unanswered.
class silent_listener {
 public:
  silent_listener();
  ~silent_listener();
  int port() const { return port_; }

 private:
  int fd_ = -1, filler_ = -1, port_ = 0;
};

// A responder's behaviour for raw_server: reads the request and, after
// `delay_ms`, answers with the PKI's good response for the "good" leaf.
std::function<void(int fd)> answer_good_after(int delay_ms);

// `openssl ocsp` answering for the PKI's intermediate on `port`, its answers
// signed by `signer` (a failure unless it starts).
class ocsp_responder {
 public:
  explicit ocsp_responder(int port, const std::string &signer = "inter");
  ~ocsp_responder() { kill_and_reap(pid_); }
  int requests() const;

 private:
  temp_dir dir_{"ocsp"};
  pid_t pid_ = -1;
};

// In this process: a task whose TLS handshake with the server on `port` the
// engine's own steps completed (no certificate check yet).
struct handshaken_task {
  explicit handshaken_task(int port, const std::string &server_addr = "");
  ~handshaken_task();
  ::sealgate_task *task = nullptr;
  int epoll_fd = -1, client_end = -1;
};

}  // namespace testing_support
