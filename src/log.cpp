#include "log.h"

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <new>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "log_format.h"
#include "platform.h"

namespace {

// The lock is held while a line takes its place in the file (day, rotation,
// size), not for its write: a thread that finds it taken spins before it
// sleeps, since a sleep and a wake-up cost far more than what it waits for.
class spinning_mutex {
 public:
  spinning_mutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~spinning_mutex() { pthread_mutex_destroy(&mutex_); }
  spinning_mutex(const spinning_mutex &) = delete;
  spinning_mutex &operator=(const spinning_mutex &) = delete;
  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

// An open log file and the writers that use it: the logger holds one
// reference while the file is current, each line on its way one more. The
// last reference closes it, so a rotation never closes a file under a write.
struct log_file {
  int fd;
  std::atomic<int> users{1};
};

void release(log_file *file) {
  if (file->users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    close(file->fd);
    delete file;
  }
}

struct logger {
  std::string directory;
  std::string base_name;
  int size_limit;
  int level;
  uid_t owner = geteuid();  // a log file must be this user's
  log_file *file = nullptr;
  int64_t current_size = 0;
  int day = -1;
  int keep_count = LOG_KEEP_FILES;
  int sequence = 0;
  // Names passed over since a file last opened, and the lines lost because
  // none did: told in one ERROR line at the top of the next file that opens.
  std::string passed_over;     // the first of them
  int passed_over_error = 0;   // why it was not opened; 0: not a regular file of this user
  int passed_over_count = 0;
  unsigned long dropped = 0;
  spinning_mutex lock;
};

std::atomic<logger *> g_logger{nullptr};

struct timespec system_clock_now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

std::atomic<log_clock_fn> g_clock{system_clock_now};

// Local time of the current second, recomputed only when the second changes.
local_stamp read_local_time() {
  thread_local time_t cached_second = -1;
  thread_local struct tm cached_tm;
  struct timespec now = g_clock.load(std::memory_order_relaxed)();
  if (now.tv_sec != cached_second) {
    localtime_r(&now.tv_sec, &cached_tm);
    cached_second = now.tv_sec;
  }
  return {cached_tm, static_cast<int>(now.tv_nsec / 1000000), now.tv_sec};
}

std::string file_name(const logger &log, const struct tm &tm) {
  char name[256];
  snprintf(name, sizeof name, "/%s.%02d%02d%04d_%05d.log", log.base_name.c_str(), tm.tm_mon + 1,
           tm.tm_mday, tm.tm_year + 1900, log.sequence);
  return log.directory + name;
}

void close_file(logger &log) {
  if (log.file != nullptr) release(log.file);
  log.file = nullptr;
}

// Prefix, message and line break into a LOG_LINE_BUFFER buffer; the line's
// length. A message too long for the buffer is cut, and still ends its line.
int format_line_v(char *buffer, const local_stamp &stamp, int level, const char *function, unsigned line,
                  const char *format, va_list args) {
  int prefix = format_prefix(buffer, stamp, level, function, line);
  size_t message = format_message(buffer + prefix, static_cast<size_t>(LOG_LINE_BUFFER - 1 - prefix), format, args);
  int length = static_cast<int>(std::min(static_cast<size_t>(prefix) + message, static_cast<size_t>(LOG_LINE_MAX)));
  buffer[length++] = '\n';
  return length;
}

__attribute__((format(printf, 6, 7))) int format_line(char *buffer, const local_stamp &stamp, int level,
                                                      const char *function, unsigned line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = format_line_v(buffer, stamp, level, function, line, format, args);
  va_end(args);
  return length;
}

enum class opening { opened, name_taken, failed };

// A log file is opened without following a symlink and without waiting (a
// FIFO that nobody reads fails at once), and kept only when it is a regular
// file of this user with one name: in a directory that others may write, a
// name planted there can neither take sealgate's lines elsewhere nor hold up
// a thread. name_taken: something else holds the name, and the next name is
// tried; failed: no file can open now (no directory, no descriptor), and
// the line is dropped.
opening open_log_file(const std::string &path, uid_t owner, int *fd, int64_t *size, int *error) {
  *fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0640);
  struct stat st;
  if (*fd < 0) {
    *error = errno;
    bool held = *error == ELOOP || *error == ENXIO || *error == EISDIR || *error == ETXTBSY ||
                ((*error == EACCES || *error == EPERM) && lstat(path.c_str(), &st) == 0);
    return held ? opening::name_taken : opening::failed;
  }
  *error = 0;
  if (fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner || st.st_nlink != 1) {
    close(*fd);
    return opening::name_taken;
  }
  *size = static_cast<int64_t>(st.st_size);
  return opening::opened;
}

// Written under the lock, first into the file that opened after names were
// passed over (rare: it costs a write of its own).
__attribute__((noinline)) void tell_passed_over_locked(logger &log, const local_stamp &stamp) {
  if (log.level >= LOG_ERROR) {
    char line[LOG_LINE_BUFFER], reason[ERROR_TEXT_SIZE];
    int length = format_line(line, stamp, LOG_ERROR, "write_log", __LINE__,
                             "log file %s passed over - %s; %d names passed over, %lu lines dropped",
                             log.passed_over.c_str(),
                             log.passed_over_error != 0 ? errno_text(log.passed_over_error, reason)
                                                        : "not a regular file of this user",
                             log.passed_over_count, log.dropped);
    if (write(log.file->fd, line, static_cast<size_t>(length)) == length) log.current_size += length;
  }
  log.passed_over.clear();
  log.passed_over_count = 0;
  log.dropped = 0;
}

constexpr int LOG_NAME_TRIES = 8;  // names tried for one line

// Opens the file of the current name, or of the first of the next names
// that is free or ours; false when none opens and the line is dropped.
bool open_current_file_locked(logger &log, const local_stamp &stamp) {
  for (int tries = 0; tries < LOG_NAME_TRIES; tries++) {
    std::string path = file_name(log, stamp.tm);
    int fd = -1, error = 0;
    int64_t size = 0;
    opening result = open_log_file(path, log.owner, &fd, &size, &error);
    if (result == opening::failed) break;
    if (result == opening::name_taken) {
      if (log.passed_over_count++ == 0) {
        log.passed_over = path;
        log.passed_over_error = error;
      }
      log.sequence++;
      continue;
    }
    log.file = new (std::nothrow) log_file{fd};
    if (log.file == nullptr) {
      close(fd);
      break;
    }
    log.current_size = size;
    if (log.passed_over_count != 0) tell_passed_over_locked(log, stamp);
    return true;
  }
  if (log.passed_over_count != 0) log.dropped++;
  return false;
}

// Day check, open and size check for a line of `length` bytes, called with
// the lock held; the file the line goes to, with a reference for its writer
// (nothing when no file opens). A line that fills the file still goes to it,
// and the next one opens the next file.
log_file *place_line_locked(logger &log, const local_stamp &stamp, int length) {
  if (log.day >= 0 && log.day != stamp.tm.tm_mday) {
    close_file(log);
    log.sequence = 0;
    log.day = stamp.tm.tm_mday;
  }
  if (log.file == nullptr && !open_current_file_locked(log, stamp)) return nullptr;
  log_file *file = log.file;
  file->users.fetch_add(1, std::memory_order_relaxed);
  log.current_size += length;
  if (log.size_limit >= 1 && log.current_size >= log.size_limit) {
    close_file(log);
    log.sequence++;
  }
  return file;
}

// One write of a placed line (O_APPEND keeps concurrent lines whole); a file
// that fails a write is given up, and the next line opens it again.
void write_placed_line(logger &log, log_file *file, const char *text, int length) {
  if (write(file->fd, text, static_cast<size_t>(length)) < 0) {
    std::lock_guard<spinning_mutex> guard(log.lock);
    if (log.file == file) close_file(log);
  }
  release(file);
}

// The lines of a thread that gathers them (log_gather_lines): placed one by
// one as any line, written together, one write for as many lines as go to
// the same file, when the thread is about to wait (log_flush), when the next
// line goes to another file, or when they fill the buffer. The batch holds
// one reference to its file; its lines' own references are given back as they
// join it.
struct gathered_lines {
  bool on = false;
  logger *log = nullptr;
  log_file *file = nullptr;
  size_t length = 0;
  std::unique_ptr<char[]> bytes;

  void flush() {
    if (file == nullptr) return;
    write_placed_line(*log, file, bytes.get(), static_cast<int>(length));
    file = nullptr;
    length = 0;
  }
  // False when the line is to be written on its own.
  bool add(logger &to, log_file *line_file, const char *text, int line_length) {
    if (!on) return false;
    if (file != nullptr && (file != line_file || log != &to || length + static_cast<size_t>(line_length) > LOG_GATHER_BYTES))
      flush();
    if (!bytes) {
      bytes.reset(new (std::nothrow) char[LOG_GATHER_BYTES]);
      if (!bytes) return false;
    }
    if (file == nullptr) {
      log = &to;
      file = line_file;  // the line's reference becomes the batch's
    } else {
      release(line_file);
    }
    memcpy(bytes.get() + length, text, static_cast<size_t>(line_length));
    length += static_cast<size_t>(line_length);
    return true;
  }
  ~gathered_lines() { flush(); }
};

static_assert(LOG_GATHER_BYTES >= LOG_LINE_BUFFER, "an empty batch takes any line");
thread_local gathered_lines t_gathered;

// A log file's name read back: "<base>.MMDDYYYY_<number>.log".
struct log_name {
  int date;  // YYYYMMDD
  int sequence;
  std::string name;
};

bool all_digits(const std::string &text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool read_log_name(const std::string &name, const std::string &base, log_name *out) {
  if (name.compare(0, base.size(), base) != 0) return false;
  std::string rest = name.substr(base.size());
  if (rest.size() < 15 || rest[0] != '.' || rest[9] != '_' || rest.compare(rest.size() - 4, 4, ".log") != 0)
    return false;
  std::string date = rest.substr(1, 8), number = rest.substr(10, rest.size() - 14);
  if (!all_digits(date) || !all_digits(number) || number.size() > 9) return false;
  *out = {atoi(date.substr(4).c_str()) * 10000 + atoi(date.substr(0, 4).c_str()), atoi(number.c_str()), name};
  return true;
}

// Deletes the oldest files beyond the keep count, oldest by the date and
// number in their names, and resumes today's sequence number. Only this
// user's regular files with such names count: others are left as they are.
void startup_scan(logger &log) {
  struct timespec now = g_clock.load()();
  struct tm tm;
  localtime_r(&now.tv_sec, &tm);
  log.day = tm.tm_mday;

  DIR *dir = opendir(log.directory.c_str());
  if (dir == nullptr) return;
  std::vector<log_name> files;
  while (struct dirent *entry = readdir(dir)) {
    log_name file;
    struct stat st;
    if (read_log_name(entry->d_name, log.base_name, &file) &&
        lstat((log.directory + "/" + entry->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == log.owner)
      files.push_back(file);
  }
  closedir(dir);

  std::sort(files.begin(), files.end(), [](const log_name &a, const log_name &b) {
    return a.date != b.date ? a.date < b.date : a.sequence < b.sequence;
  });
  size_t keep = static_cast<size_t>(std::max(log.keep_count, 0));
  for (size_t i = 0; log.keep_count >= 1 && i + keep < files.size(); i++)
    unlink((log.directory + "/" + files[i].name).c_str());
  const int today = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
  for (const log_name &file : files)
    if (file.date == today) log.sequence = std::max(log.sequence, file.sequence);
  struct stat st;
  std::string current = file_name(log, tm);
  if (lstat(current.c_str(), &st) == 0 && static_cast<long long>(st.st_size) >= log.size_limit) log.sequence++;
}

// Others who may write the directory may plant names at the next file names
// (passed over, but each costs the file it holds) and, without the sticky
// bit, remove or rename sealgate's files.
void warn_if_others_may_write(const logger &log) {
  struct stat st;
  if (stat(log.directory.c_str(), &st) != 0 || (st.st_mode & S_ISVTX) != 0) return;
  if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != getegid()) ||
      (st.st_uid != 0 && st.st_uid != log.owner))
    LOG_AT("init_log", LOG_WARN, "log directory %s may be written by other users (mode %o, owner %u) without the sticky bit",
           log.directory.c_str(), static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid));
}

std::atomic<bool> g_echo_errors{false};

// "sealgate: <message>" on standard error, the message's own trailing line
// breaks left out.
__attribute__((noinline, cold)) void echo_error(const char *format, va_list args) {
  static const char head[] = "sealgate: ";
  constexpr size_t head_length = sizeof head - 1;
  char text[LOG_LINE_BUFFER];
  memcpy(text, head, head_length);
  size_t room = sizeof text - head_length - 1;  // the line break's byte kept free
  size_t length = head_length + std::min(format_message(text + head_length, room, format, args), room - 1);
  while (length > head_length && text[length - 1] == '\n') length--;
  text[length++] = '\n';
  if (write(STDERR_FILENO, text, length) < 0) {
  }
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
  warn_if_others_may_write(*log);
}

void log_echo_errors(bool on) { g_echo_errors.store(on, std::memory_order_relaxed); }

void log_reset_for_test() {
  t_gathered.flush();
  logger *log = g_logger.exchange(nullptr);
  if (log != nullptr) {
    close_file(*log);
    delete log;
  }
}

void log_set_clock(log_clock_fn clock) { g_clock.store(clock ? clock : system_clock_now); }

bool log_writes(int level) {
  logger *log = g_logger.load(std::memory_order_acquire);
  return log != nullptr && level >= 0 && level <= 3 && log->level >= level;
}

bool log_level_configured(int *level) {
  logger *log = g_logger.load(std::memory_order_acquire);
  if (log == nullptr) return false;
  *level = log->level;
  return true;
}


void write_log(unsigned line, const char *function, int level, const char *format, ...) {
  if (level == LOG_ERROR && g_echo_errors.load(std::memory_order_relaxed)) {
    int saved_errno = errno;
    va_list args;
    va_start(args, format);
    echo_error(format, args);
    va_end(args);
    errno = saved_errno;
  }
  logger *log = g_logger.load(std::memory_order_acquire);
  if (log == nullptr || log->level < level || level < 0 || level > 3) return;
  int saved_errno = errno;  // a log call never changes errno for its caller
  local_stamp stamp = read_local_time();
  char buffer[LOG_LINE_BUFFER];
  va_list args;
  va_start(args, format);
  int length = format_line_v(buffer, stamp, level, function, line, format, args);
  va_end(args);
  log_file *file;
  {
    std::lock_guard<spinning_mutex> guard(log->lock);
    file = place_line_locked(*log, stamp, length);
  }
  if (file != nullptr && !t_gathered.add(*log, file, buffer, length)) write_placed_line(*log, file, buffer, length);
  errno = saved_errno;
}

void log_gather_lines(bool on) {
  if (!on) log_flush();
  t_gathered.on = on;
}

void log_flush() {
  int saved_errno = errno;
  t_gathered.flush();
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
