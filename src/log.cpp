#include "log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform.h"

namespace {

struct logger {
  std::string directory;
  std::string base_name;
  int size_limit;
  int level;
  int fd = -1;
  int current_size = 0;
  int day = -1;
  int keep_count = LOG_KEEP_FILES;
  int sequence = 0;
  std::mutex lock;
};

std::atomic<logger *> g_logger{nullptr};

struct timespec system_clock_now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

std::atomic<log_clock_fn> g_clock{system_clock_now};

const char *const k_level_names[] = {"INFO", "ERROR", "WARN", "DEBUG"};

// Local time of the current second, recomputed only when the second changes.
struct local_stamp {
  struct tm tm;
  int millisecond;
};

local_stamp read_local_time() {
  thread_local time_t cached_second = -1;
  thread_local struct tm cached_tm;
  struct timespec now = g_clock.load(std::memory_order_relaxed)();
  if (now.tv_sec != cached_second) {
    localtime_r(&now.tv_sec, &cached_tm);
    cached_second = now.tv_sec;
  }
  return {cached_tm, static_cast<int>(now.tv_nsec / 1000000)};
}

int process_id() {
  static const int pid = static_cast<int>(getpid());  // read once, thread-safe
  return pid;
}

long thread_id() {
  thread_local const long tid = static_cast<long>(gettid());
  return tid;
}

std::string file_name(const logger &log, const struct tm &tm) {
  char name[256];
  snprintf(name, sizeof name, "/%s.%02d%02d%04d_%05d.log", log.base_name.c_str(), tm.tm_mon + 1,
           tm.tm_mday, tm.tm_year + 1900, log.sequence);
  return log.directory + name;
}

void close_file(logger &log) {
  if (log.fd >= 0) close(log.fd);
  log.fd = -1;
}

// Day check, open, one write and size check; called with the lock held.
void write_line_locked(logger &log, const struct tm &tm, const char *text, int length) {
  if (log.day >= 0 && log.day != tm.tm_mday) {
    close_file(log);
    log.sequence = 0;
    log.day = tm.tm_mday;
  }
  if (log.fd < 0) {
    std::string path = file_name(log, tm);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) return;
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
      close(fd);
      return;
    }
    log.fd = fd;
    log.current_size = static_cast<int>(end);
  }
  ssize_t written = write(log.fd, text, static_cast<size_t>(length));
  if (written < 0) {
    close_file(log);
    return;
  }
  log.current_size += length;
  if (log.size_limit >= 1 && log.current_size >= log.size_limit) {
    close_file(log);
    log.sequence++;
  }
}

bool is_directory(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Deletes the oldest names beyond the keep count and resumes today's sequence number.
void startup_scan(logger &log) {
  struct timespec now = g_clock.load()();
  struct tm tm;
  localtime_r(&now.tv_sec, &tm);
  log.day = tm.tm_mday;

  DIR *dir = opendir(log.directory.c_str());
  if (dir == nullptr) return;
  char today_prefix[256];
  snprintf(today_prefix, sizeof today_prefix, "%s.%02d%02d%04d_", log.base_name.c_str(),
           tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
  std::vector<std::string> today, all;
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (is_directory(log.directory + "/" + name)) continue;
    if (name.rfind(today_prefix, 0) == 0) today.push_back(name);
    if (name.rfind(log.base_name, 0) == 0) all.push_back(name);
  }
  closedir(dir);

  std::sort(all.begin(), all.end());
  if (log.keep_count >= 1 && all.size() > static_cast<size_t>(log.keep_count)) {
    size_t excess = all.size() - static_cast<size_t>(log.keep_count);
    for (size_t i = 0; i < excess; i++) unlink((log.directory + "/" + all[i]).c_str());
  }
  std::sort(today.begin(), today.end());
  if (!today.empty()) {
    const std::string &last = today.back();
    size_t at = log.base_name.size() + 10;
    std::string digits = at < last.size() ? last.substr(at, 5) : std::string();
    log.sequence = atoi(digits.c_str());
  }
  struct stat st;
  std::string current = file_name(log, tm);
  if (stat(current.c_str(), &st) == 0 && static_cast<long long>(st.st_size) >= log.size_limit)
    log.sequence++;
}

}  // namespace

void init_log(const char *directory, const char *base_name, int size_limit, int level) {
  if (g_logger.load() != nullptr) return;
  logger *log = new logger;
  log->directory = directory;
  log->base_name = base_name;
  log->size_limit = size_limit;
  log->level = level;
  startup_scan(*log);
  g_logger.store(log);
}

void log_reset_for_test() {
  logger *log = g_logger.exchange(nullptr);
  if (log != nullptr) {
    close_file(*log);
    delete log;
  }
}

void log_set_clock(log_clock_fn clock) { g_clock.store(clock ? clock : system_clock_now); }

bool log_level_configured(int *level) {
  logger *log = g_logger.load(std::memory_order_acquire);
  if (log == nullptr) return false;
  *level = log->level;
  return true;
}

void write_log(unsigned line, const char *function, int level, const char *format, ...) {
  logger *log = g_logger.load(std::memory_order_acquire);
  if (log == nullptr || log->level < level || level < 0 || level > 3) return;
  int saved_errno = errno;  // a log call never changes errno for its caller
  local_stamp stamp = read_local_time();
  char buffer[LOG_LINE_BUFFER];
  int prefix = snprintf(buffer, sizeof buffer, "%02d-%02d-%04d %02d:%02d:%02d.%03d %-5s [%d,%ld] [%s@%d] ",
                        stamp.tm.tm_mon + 1, stamp.tm.tm_mday, stamp.tm.tm_year + 1900,
                        stamp.tm.tm_hour, stamp.tm.tm_min, stamp.tm.tm_sec, stamp.millisecond,
                        k_level_names[level], process_id(), thread_id(), function,
                        static_cast<int>(line));
  if (prefix < 0) prefix = 0;
  if (prefix > LOG_LINE_MAX) prefix = LOG_LINE_MAX;
  va_list args;
  va_start(args, format);
  int message = vsnprintf(buffer + prefix, static_cast<size_t>(LOG_LINE_BUFFER - 1 - prefix), format, args);
  va_end(args);
  if (message < 0) message = 0;
  int length = std::min(prefix + message, LOG_LINE_MAX);
  if (length < LOG_LINE_MAX) buffer[length++] = '\n';
  {
    std::lock_guard<std::mutex> guard(log->lock);
    write_line_locked(*log, stamp.tm, buffer, length);
  }
  errno = saved_errno;
}

char *errno_text(int error, char *buffer) {
  if (buffer == nullptr) return nullptr;
  memset(buffer, 0, ERROR_TEXT_SIZE);
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char *text = strerror_r(error, buffer, ERROR_TEXT_SIZE);
  if (text != buffer) snprintf(buffer, ERROR_TEXT_SIZE, "%s", text);
  return buffer;
}

char *socket_error_text(char *buffer, int *result) {
  memset(buffer, 0, ERROR_TEXT_SIZE);
  int error = platform_last_socket_error();
  if (result != nullptr) *result = error;
  if (!platform_socket_error_message(error, buffer, ERROR_TEXT_SIZE))
    snprintf(buffer, ERROR_TEXT_SIZE, "Socket error %d, format error %d", error, errno);
  return buffer;
}
