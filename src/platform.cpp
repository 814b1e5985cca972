#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

int socket_layer_start() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGPIPE, &action, nullptr);
}

void socket_layer_stop() {}

namespace {

// Reads the state letter from /proc/PID/stat; 0 when it cannot be read.
char process_state(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[512];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // The command name in parentheses may hold spaces and ')'; the state follows the last ')'.
  const char *close_paren = strrchr(text, ')');
  if (close_paren == nullptr || close_paren[1] != ' ') return 0;
  return close_paren[2];
}

}  // namespace

bool is_process_alive(int pid) {
  if (pid <= 0) return false;  // 0 and negative ids name process groups, not a process
  static const int own_pid = static_cast<int>(getpid());  // asked once per accept turn: keep it
  if (pid == own_pid) return true;
  int saved = errno;
  bool alive;
  if (kill(pid, 0) == 0 || errno == EPERM) {
    char state = process_state(pid);
    alive = state != 'Z' && state != 'X';
  } else {
    alive = errno != ESRCH;
  }
  errno = saved;
  return alive;
}

int platform_last_socket_error() { return errno; }

bool platform_socket_error_message(int error, char *buffer, size_t size) {
  const char *text = strerror_r(error, buffer, size);
  if (text == nullptr) return false;
  if (text != buffer) snprintf(buffer, size, "%s", text);
  return true;
}

long raise_open_files_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  }
  return static_cast<long>(limit.rlim_cur);
}
