#include "listener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "access.h"
#include "log.h"
#include "platform.h"
#include "poller.h"
#include "protocol.h"

const char *const DEFAULT_SOCKET_HOST = "127.0.0.1";
const char *const DEFAULT_LOG_PATH = "C:\\Program Files\\Corvane\\Morrowvale\\logs\\kord_storage";

std::atomic<bool> running{true};
handoff_queue g_handoff_queue;

namespace {

enum class option_kind { socket_host, socket_port, log_path, log_size, log_level, pid, none };

// Options are matched by their leading characters, in this order; the first match wins.
option_kind match_option(const char *arg) {
  if (strncmp(arg, "-sh", 3) == 0) return option_kind::socket_host;
  if (strncmp(arg, "-sp", 3) == 0) return option_kind::socket_port;
  if (strncmp(arg, "-l", 2) == 0) return option_kind::log_path;
  if (strncmp(arg, "-s", 2) == 0) return option_kind::log_size;
  if (strncmp(arg, "-L", 2) == 0) return option_kind::log_level;
  if (strncmp(arg, "-p", 2) == 0) return option_kind::pid;
  return option_kind::none;
}

void apply_option(option_kind kind, const char *value, startup_settings &settings) {
  switch (kind) {
    case option_kind::socket_host: settings.socket_host = value; break;
    case option_kind::socket_port: settings.socket_port = atoi(value); break;
    case option_kind::log_path: settings.log_path = value; break;
    case option_kind::log_size: settings.log_file_size = atoi(value); break;
    case option_kind::log_level: settings.log_level = atoi(value); break;
    case option_kind::pid: settings.pid = atoi(value); break;
    case option_kind::none: break;
  }
}

}  // namespace

bool parse_options(int argc, const char *const *argv, startup_settings &settings) {
  for (int i = 1; i < argc; i += 2) {
    option_kind kind = match_option(argv[i]);
    if (kind == option_kind::none) return false;
    if (i + 1 >= argc) break;  // an option without a value keeps its default
    apply_option(kind, argv[i + 1], settings);
  }
  return true;
}

void print_usage() {
  printf("Sealgate Server\n");
  printf("------------------------\n");
  printf("usage: sealgate -sh <socket host> -sp <socket port> -l <log path> -L <log level> -s <log file size> -p <pid to live with>\n");
  printf("-sh socket host, kord connection to sealgate, default is %s\n", DEFAULT_SOCKET_HOST);
  printf("-sp socket port, kord connection to sealgate, default is %d\n", DEFAULT_SOCKET_PORT);
  printf("-l /path/to/log/file/path, default path is %s\n", DEFAULT_LOG_PATH);
  printf("-L log level, default is %d\n", DEFAULT_LOG_LEVEL);
  printf("-s log file size, default is %d\n", DEFAULT_LOG_FILE_SIZE);
  printf("-p pid to live with, default is %d. Once that pid quits, sealgate will quit as well\n", DEFAULT_PID);
  fflush(stdout);
}

namespace {

void write_wake_up(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  // The counter only grows; a full one (never reached) still wakes.
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

int64_t step_clock_at(std::chrono::steady_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count() | 1;
}

handoff_queue::handoff_queue(size_t cores)
    : cores_(cores != 0 ? cores : static_cast<size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)))) {}

size_t handoff_queue::ready_takers_locked() const {
  size_t takers = takers_;
  if (takers == 0) return 0;
  size_t running = 0;
  for (const worker_slot &w : slots_) running += w.wake_fd >= 0 && !w.parked;
  if (running < cores_) return 0;
  int64_t now = step_clock_now(), grace = std::chrono::nanoseconds(STEP_GRACE).count();
  for (const worker_slot &w : slots_) {
    if (!w.counted || w.step_started == nullptr) continue;
    int64_t since = w.step_started->load(std::memory_order_relaxed);
    if (since != 0 && now - since > grace) takers--;
  }
  return takers;
}

int handoff_queue::wake_locked(bool always) {
  if (items_.empty()) return -1;
  if (!always) {
    size_t takers = ready_takers_locked();
    if (takers != 0 && items_.size() <= takers) return -1;
  }
  // The parked worker that holds the most tasks and still has room: the more
  // connections one worker holds, the more of their events share its wake-ups.
  worker_slot *best = nullptr;
  for (worker_slot &w : slots_)
    if (w.parked && w.load < TAKER_LOAD_LIMIT &&
        (best == nullptr || w.load > best->load || (w.load == best->load && w.parked_at > best->parked_at)))
      best = &w;
  // Else (every parked one is full) the least loaded.
  if (best == nullptr)
    for (worker_slot &w : slots_)
      if (w.parked && (best == nullptr || w.load < best->load || (w.load == best->load && w.parked_at > best->parked_at)))
        best = &w;
  if (best == nullptr) return -1;
  best->parked = false;
  best->woken = true;
  count_locked(*best, true);  // until it has taken what it was woken for
  return static_cast<int>(best - slots_.data());
}

void handoff_queue::enqueue(int64_t value) {
  int wake = -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    items_.push_back(value);
    size_.store(items_.size(), std::memory_order_relaxed);
    int slot = wake_locked(value == STOP_MARKER);  // a stop marker is for whoever takes it: each wakes a worker
    if (slot >= 0) wake = slots_[static_cast<size_t>(slot)].wake_fd;
  }
  write_wake_up(wake);
}

int64_t handoff_queue::pop_front_locked() {
  if (items_.empty()) return QUEUE_EMPTY;
  int64_t value = items_.front();
  items_.pop_front();
  size_.store(items_.size(), std::memory_order_relaxed);
  return value;
}

void handoff_queue::count_locked(worker_slot &w, bool taker) {
  if (taker == w.counted) return;
  w.counted = taker;
  if (taker)
    takers_++;
  else
    takers_--;
}

int handoff_queue::join(int wake_fd, const std::atomic<int64_t> *step_started) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t slot = 0;
  while (slot < slots_.size() && slots_[slot].wake_fd >= 0) slot++;  // a stopped worker's slot is taken again
  if (slot == slots_.size()) slots_.emplace_back();
  slots_[slot] = worker_slot{};
  slots_[slot].wake_fd = wake_fd;
  slots_[slot].step_started = step_started;
  count_locked(slots_[slot], true);
  return static_cast<int>(slot);
}

void handoff_queue::leave(int slot) {
  int wake = -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    worker_slot &w = slots_[static_cast<size_t>(slot)];
    count_locked(w, false);
    w.parked = false;
    left_wake_fds_.push_back(w.wake_fd);
    w.wake_fd = -1;
    w.step_started = nullptr;
    int other = wake_locked(false);
    if (other >= 0) wake = slots_[static_cast<size_t>(other)].wake_fd;
  }
  write_wake_up(wake);
}

void handoff_queue::recheck() {
  int wake = -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    int slot = wake_locked(false);
    if (slot >= 0) wake = slots_[static_cast<size_t>(slot)].wake_fd;
  }
  write_wake_up(wake);
}

void handoff_queue::close_wake_ups() {
  std::lock_guard<std::mutex> guard(lock_);
  for (int fd : left_wake_fds_) close(fd);
  left_wake_fds_.clear();
}

// Below the limit a worker takes the socket at the front; at or above it
// only a stop marker, and the sockets it leaves may need another worker.
int64_t handoff_queue::take_locked(worker_slot &w, size_t load, int &wake) {
  w.load = load;
  int64_t value = QUEUE_EMPTY;
  if (!items_.empty() && (load < TAKER_LOAD_LIMIT || items_.front() == STOP_MARKER)) {
    value = pop_front_locked();
    w.load = ++load;
  }
  count_locked(w, load < TAKER_LOAD_LIMIT);
  int other = wake_locked(false);
  if (other >= 0) wake = slots_[static_cast<size_t>(other)].wake_fd;
  return value;
}

int64_t handoff_queue::take(int slot, size_t load) {
  // Read unlocked first: most cycles find nothing, and a socket queued just
  // after this look is found by park() before the worker waits.
  // (A load that crossed the limit is told at the next locked call.)
  if (size_.load(std::memory_order_relaxed) == 0) return QUEUE_EMPTY;
  int wake = -1;
  int64_t value;
  {
    std::lock_guard<std::mutex> guard(lock_);
    value = take_locked(slots_[static_cast<size_t>(slot)], load, wake);
  }
  write_wake_up(wake);
  return value;
}

int64_t handoff_queue::park(int slot, size_t load) {
  int wake = -1;
  int64_t value = QUEUE_EMPTY;
  {
    std::lock_guard<std::mutex> guard(lock_);
    worker_slot &w = slots_[static_cast<size_t>(slot)];
    value = take_locked(w, load, wake);
    if (value == QUEUE_EMPTY) {
      count_locked(w, false);
      w.parked = true;
      w.woken = false;
      w.parked_at = ++park_count_;
      int other = wake_locked(false);
      if (other == slot) {
        // The sockets left have no one else: this worker takes one now.
        w.woken = false;
        value = pop_front_locked();
        count_locked(w, load + 1 < TAKER_LOAD_LIMIT);
      } else if (other >= 0) {
        wake = slots_[static_cast<size_t>(other)].wake_fd;
      }
    }
  }
  write_wake_up(wake);
  return value;
}

int64_t handoff_queue::unpark(int slot, size_t load) {
  int wake = -1;
  int64_t value = QUEUE_EMPTY;
  {
    std::lock_guard<std::mutex> guard(lock_);
    worker_slot &w = slots_[static_cast<size_t>(slot)];
    w.parked = false;
    // A worker woken for a socket takes one whatever it holds: it was chosen
    // because no other would.
    if (w.woken) {
      value = pop_front_locked();
      if (value != QUEUE_EMPTY) load++;
    }
    w.woken = false;
    w.load = load;
    count_locked(w, load < TAKER_LOAD_LIMIT);
    int other = wake_locked(false);
    if (other >= 0) wake = slots_[static_cast<size_t>(other)].wake_fd;
  }
  write_wake_up(wake);
  return value;
}

int server_setup_socket(const char *host, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    LOG(LOG_ERROR, "socket failed with error: %d, %s\n", error, text);
    return -1;
  }
  // SO_REUSEADDR gives the bind rules sealgate needs: a restart binds while old
  // connections sit in TIME_WAIT, yet a second live listener still fails.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(host);
  address.sin_port = htons(static_cast<uint16_t>(port));
  // inet_addr gives INADDR_NONE for anything but dotted IPv4, which cannot be bound.
  if (address.sin_addr.s_addr == INADDR_NONE ||
      bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
    if (address.sin_addr.s_addr == INADDR_NONE) errno = EADDRNOTAVAIL;
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    LOG(LOG_ERROR, "socket bind error - %d, %s", error, text);
    close(fd);
    return -1;
  }
  if (listen(fd, SOMAXCONN) != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    LOG(LOG_ERROR, "listen error - %d, %s", error, text);
    close(fd);
    return -1;
  }
  remember_listening_address(fd);
  LOG(LOG_INFO, "Listening on socket %d", fd);
  return fd;
}

namespace {

enum class accept_result { next_turn, stop };

accept_result accept_one(int listen_fd, int32_t &accepted) {
  // Accepted sockets are non-blocking from the start: the workers never block on them.
  int client = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (client >= 0) {
    accepted++;
    if (refused_without_a_line(client)) {
      close(client);
      return accept_result::next_turn;
    }
    set_no_delay(client);
    LOG(LOG_INFO, "accept success, client fd: %d", client);
    g_handoff_queue.enqueue(client);
    LOG(LOG_INFO, "Connections %ld, fd %d, %lu in queue", static_cast<long>(accepted), client,
        g_handoff_queue.approximate_size());
    return accept_result::next_turn;
  }
  char text[ERROR_TEXT_SIZE];
  int error = 0;
  socket_error_text(text, &error);
  errno = error;
  if (error == EMFILE || error == ENFILE) {
    LOG(LOG_ERROR, "Unable to accept client connection, pause to accept new request - %d, %s", error, text);
    usleep(60 * 1000);
    return accept_result::next_turn;
  }
  // The listener is non-blocking so that a connection that vanished between
  // the readiness report and accept cannot stall the loop: EAGAIN is one more turn.
  if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) return accept_result::next_turn;
  LOG(LOG_ERROR, "Unable to accept client connection - %d, %s", error, text);
  running = false;
  return accept_result::stop;
}

}  // namespace

void run_accept_loop(int listen_fd, int epoll_fd, int pid_to_live_with) {
  uint32_t registered = 0;
  if (change_events(EPOLLIN, registered, epoll_fd, listen_fd) != 0) {
    LOG(LOG_ERROR, "epoll_ctl error - unable to add server fd");
    return;
  }
  int32_t accepted = 0;
  log_gather_lines(true);
  while (running) {
    if (!is_process_alive(pid_to_live_with)) {
      LOG(LOG_WARN, "process %d exited, stop loop", pid_to_live_with);
      running = false;
      break;
    }
    struct epoll_event ready;
    report_unlogged_refusals();
    log_flush();
    // Sockets still queued are looked at again soon: a worker counted on to
    // take them may be held inside its steps.
    bool queued = g_handoff_queue.approximate_size() > 0;
    int n = epoll_wait(epoll_fd, &ready, 1, queued ? HANDOFF_RECHECK_MS : 200);
    if (n < 0) {
      if (errno == EINTR) continue;
      LOG_ERRNO(LOG_ERROR, "epoll_wait error");
      break;
    }
    if (queued) g_handoff_queue.recheck();
    if (n == 0) continue;
    if (accept_one(listen_fd, accepted) == accept_result::stop) break;
  }
  log_gather_lines(false);
}
