// The process frame's moving parts: options, the listening socket, the accept
// loop and the hand-off queue that carries accepted sockets to the workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

extern const char *const DEFAULT_SOCKET_HOST;
extern const char *const DEFAULT_LOG_PATH;
constexpr int DEFAULT_SOCKET_PORT = 8086;
constexpr int DEFAULT_LOG_LEVEL = 3;
constexpr int DEFAULT_LOG_FILE_SIZE = 52428800;
constexpr int DEFAULT_PID = -1;

struct startup_settings {
  std::string socket_host = DEFAULT_SOCKET_HOST;
  int socket_port = DEFAULT_SOCKET_PORT;
  std::string log_path = DEFAULT_LOG_PATH;
  int log_level = DEFAULT_LOG_LEVEL;
  int log_file_size = DEFAULT_LOG_FILE_SIZE;
  int pid = DEFAULT_PID;
};

// Reads the options after the program name. False when an argument matches
// no option: the caller prints the usage text and exits with 1.
bool parse_options(int argc, const char *const *argv, startup_settings &settings);
void print_usage();

// The process-wide flag that ends the accept loop (cleared by SIGTERM).
extern std::atomic<bool> running;

constexpr int64_t QUEUE_EMPTY = -1;
constexpr int64_t STOP_MARKER = -2;

class handoff_queue {
 public:
  void enqueue(int64_t value);
  int64_t dequeue(bool may_wait);
  // Read without the lock: only ever logged.
  unsigned long approximate_size() const { return size_.load(std::memory_order_relaxed); }
  int waiting() {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_up_;
  std::deque<int64_t> items_;
  int waiting_count_ = 0;
  std::atomic<unsigned long> size_{0};
};

extern handoff_queue g_handoff_queue;

// Opens the IPv4 listening socket; -1 on failure, after logging why.
int server_setup_socket(const char *host, int port);

// Runs until `running` is cleared, the watched process ends or a fatal error.
void run_accept_loop(int listen_fd, int epoll_fd, int pid_to_live_with);

// Who may use sealgate. A request names files that sealgate opens with its
// own rights, so only the client's own user reaches the relay: the socket
// that connects must belong to sealgate's effective user, to the user of the
// process it lives with, or to root. Set once at start-up, before the workers.
void allow_clients_of(int pid_to_live_with);
// allowed when the accepted socket's owner may use sealgate; refused, after
// an ERROR line that says why, for anyone else and whenever the owner cannot
// be found; left when no socket of this host holds the other end because the
// client has already closed it (whoever it was). The caller reads nothing
// from a socket that is not allowed.
enum class client_verdict { allowed, refused, left };
client_verdict client_allowed(int client_fd);
