// The process frame's moving parts: options, the listening socket, the accept
// loop and the hand-off queue that carries accepted sockets to the workers.
// Who may connect is access's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "access.h"  // who may connect: the workers ask client_allowed through this header

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

// The process-wide flag that ends the accept loop (cleared by SIGTERM and SIGINT).
extern std::atomic<bool> running;

constexpr int64_t QUEUE_EMPTY = -1;
constexpr int64_t STOP_MARKER = -2;

// Accepted sockets wait here for a worker. Waking a parked worker costs a
// context switch on each side, so a socket is left to a worker that is
// already running its cycle (it takes one at the top of each cycle) while it
// holds fewer than TAKER_LOAD_LIMIT tasks; a worker that holds more is left
// to its relays, so long-lived busy connections still spread over the
// cores. A parked worker is woken only when no running worker takes sockets
// or the queue outgrows them: the one holding the most tasks below the limit
// (the most recently parked among equals), else the least loaded one. A
// worker parks in its own epoll set, which holds a wake-up descriptor (an
// eventfd) that the queue writes to. A running worker that has been inside
// the steps of one cycle for more than STEP_GRACE is not counted as one that
// will take the next socket: it may be held there for long, and the socket
// would wait for it while others idle. A socket left to running workers that
// none has taken after HANDOFF_RECHECK_MS is looked at again (recheck).
constexpr size_t TAKER_LOAD_LIMIT = 8;
constexpr std::chrono::microseconds STEP_GRACE{2000};
constexpr int HANDOFF_RECHECK_MS = 5;

class handoff_queue {
 public:
  // `cores`: while fewer workers than this run, a parked one is woken for a
  // socket rather than leaving it to a running one (the machine's processors
  // by default): a core without a worker would stay idle while relays that
  // start together, bulk transfers among them, crowd onto one thread.
  explicit handoff_queue(size_t cores = 0);
  void enqueue(int64_t value);
  // A worker's slot in the queue, for the calls below. The queue owns the
  // wake-up descriptor from here on: a waker may still be writing to it after
  // its worker has left, so it is closed only by close_wake_ups(), called
  // once the workers that left have been joined. `step_started` is the
  // worker's own clock of its steps (step_clock_now() when its cycle's steps
  // began, 0 while it is not inside them), read until it leaves.
  int join(int wake_fd, const std::atomic<int64_t> *step_started);
  void leave(int slot);
  void close_wake_ups();
  // At the top of a cycle, for a worker holding `load` tasks: a queued value,
  // or QUEUE_EMPTY; never waits.
  int64_t take(int slot, size_t load);
  // Before the worker waits: a queued value, taken instead of parking, or
  // QUEUE_EMPTY with the worker parked.
  int64_t park(int slot, size_t load);
  // After the wait, whatever ended it: the value the worker was woken for,
  // or QUEUE_EMPTY.
  int64_t unpark(int slot, size_t load);
  // Wakes a parked worker for the sockets that still wait, if the running
  // ones will not take them soon (the accepting thread, when they linger).
  void recheck();
  // Read without the lock: only ever logged.
  unsigned long approximate_size() const { return size_.load(std::memory_order_relaxed); }

 private:
  struct worker_slot {
    int wake_fd = -1;
    size_t load = 0;
    bool parked = false;
    bool woken = false;   // taken off the parked list by enqueue, for a socket
    bool counted = false;  // counted in takers_
    uint64_t parked_at = 0;
    const std::atomic<int64_t> *step_started = nullptr;
  };
  // takers_ less the running workers held inside their steps.
  size_t ready_takers_locked() const;
  int64_t pop_front_locked();
  void count_locked(worker_slot &w, bool taker);
  // The parked worker to wake for the sockets left (its slot, now counted as
  // running), or -1 when the running ones will take them; `always` wakes
  // one whenever a socket waits.
  int wake_locked(bool always);
  int64_t take_locked(worker_slot &w, size_t load, int &wake);

  std::mutex lock_;
  std::deque<int64_t> items_;
  std::vector<worker_slot> slots_;
  std::vector<int> left_wake_fds_;  // of workers that left
  size_t takers_ = 0;  // running workers below the load limit
  size_t cores_;
  uint64_t park_count_ = 0;
  std::atomic<unsigned long> size_{0};
};

extern handoff_queue g_handoff_queue;

// The clock of a worker's steps, in nanoseconds (never 0).
int64_t step_clock_at(std::chrono::steady_clock::time_point when);
inline int64_t step_clock_now() { return step_clock_at(std::chrono::steady_clock::now()); }

// Opens the IPv4 listening socket; -1 on failure, after logging why.
int server_setup_socket(const char *host, int port);

// Runs until `running` is cleared, the watched process ends or a fatal error.
void run_accept_loop(int listen_fd, int epoll_fd, int pid_to_live_with);
