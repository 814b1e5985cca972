#include "log.h"

#include <algorithm>
#include <cctype>
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
  log_file *file = nullptr;
  int64_t current_size = 0;
  int day = -1;
  int keep_count = LOG_KEEP_FILES;
  int sequence = 0;
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
struct local_stamp {
  struct tm tm;
  int millisecond;
  time_t second;
};

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
  if (log.file != nullptr) release(log.file);
  log.file = nullptr;
}

// Day check, open and size check for a line of `length` bytes, called with
// the lock held; the file the line goes to, with a reference for its writer
// (nothing when no file opens). A line that fills the file still goes to it,
// and the next one opens the next file.
log_file *place_line_locked(logger &log, const struct tm &tm, int length) {
  if (log.day >= 0 && log.day != tm.tm_mday) {
    close_file(log);
    log.sequence = 0;
    log.day = tm.tm_mday;
  }
  if (log.file == nullptr) {
    std::string path = file_name(log, tm);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) return nullptr;
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
      close(fd);
      return nullptr;
    }
    log.file = new (std::nothrow) log_file{fd};
    if (log.file == nullptr) {
      close(fd);
      return nullptr;
    }
    log.current_size = static_cast<int64_t>(end);
  }
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

// ---- message formatting ----
//
// Messages are printf-formatted, with one difference: the text a %s
// argument brings has its control bytes escaped ("\n", "\x01"), so that a
// request, a path or a URL from outside can never start a line of its own.
// Control bytes written into the format itself are the program's own and
// stay as they are.

struct output {
  char *at;
  size_t room;  // bytes that may still be stored, the terminator excluded
  size_t total = 0;
  void put(char c) {
    if (total < room) at[total] = c;
    total++;
  }
  void put(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) put(text[i]);
  }
};

// The escape for the character at text[0] (of `left` bytes), in `escape`;
// its length in the input. Control bytes, and the UTF-8 forms of the C1
// controls and of the line and paragraph separators, which some readers
// take as line breaks, are written escaped.
size_t escape_at(const unsigned char *text, size_t left, char *escape) {
  unsigned char c = text[0];
  if (c == '\n' || c == '\r' || c == '\t') {
    snprintf(escape, 8, "\\%c", c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
  } else if (c < 0x20 || c == 0x7f) {
    snprintf(escape, 8, "\\x%02x", c);
  } else if (c == 0xc2 && left >= 2 && text[1] >= 0x80 && text[1] <= 0x9f) {
    snprintf(escape, 8, "\\u00%02x", text[1]);
    return 2;
  } else if (c == 0xe2 && left >= 3 && text[1] == 0x80 && (text[2] == 0xa8 || text[2] == 0xa9)) {
    snprintf(escape, 8, "\\u202%c", text[2] == 0xa8 ? '8' : '9');
    return 3;
  } else {
    escape[0] = static_cast<char>(c);
    escape[1] = '\0';
  }
  return 1;
}

// At most this much of one argument is written, so that escaping cannot make
// a line too long to end with its line break.
constexpr size_t ARGUMENT_SHOWN_MAX = 8192;

// A %s argument: at most `precision` bytes of it (all when negative), padded
// to `width` as printf would, with its control characters escaped.
void put_escaped(output &out, const char *text, long precision, long width, bool left) {
  if (text == nullptr) text = "(null)";
  size_t bytes = strlen(text);
  if (precision >= 0 && bytes > static_cast<size_t>(precision)) bytes = static_cast<size_t>(precision);
  auto input = reinterpret_cast<const unsigned char *>(text);
  std::string shown;
  char escape[8];
  for (size_t i = 0; i < bytes && shown.size() < ARGUMENT_SHOWN_MAX;) {
    // A run of printable ASCII goes over as it is.
    size_t run = i;
    while (run < bytes && input[run] >= 0x20 && input[run] < 0x7f) run++;
    if (run > i) {
      shown.append(text + i, std::min(run - i, ARGUMENT_SHOWN_MAX - shown.size()));
      i = run;
      continue;
    }
    i += escape_at(input + i, bytes - i, escape);
    shown += escape;
  }
  if (shown.size() >= ARGUMENT_SHOWN_MAX) shown += "...";
  long pad = width > static_cast<long>(shown.size()) ? width - static_cast<long>(shown.size()) : 0;
  if (!left) for (long i = 0; i < pad; i++) out.put(' ');
  out.put(shown.data(), shown.size());
  if (left) for (long i = 0; i < pad; i++) out.put(' ');
}

// Formats one conversion other than %s with the C library, its argument taken
// with the type its length modifier names.
template <typename T>
void put_converted(output &out, const std::string &directive, T value) {
  char text[128];
  int n = snprintf(text, sizeof text, directive.c_str(), value);
  if (n > 0) out.put(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

// The decimal digits of value at out; the end of what was written.
char *put_decimal(char *out, unsigned long long value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

// A plain %d, %u or %p (no flag, width or precision), as printf writes it.
void put_unsigned(output &out, unsigned long long value) {
  char digits[20];
  out.put(digits, static_cast<size_t>(put_decimal(digits, value) - digits));
}

void put_signed(output &out, long long value) {
  if (value < 0) out.put('-');
  put_unsigned(out, value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value));
}

void put_pointer(output &out, const void *pointer) {
  if (pointer == nullptr) {
    out.put("(nil)", 5);
    return;
  }
  auto value = reinterpret_cast<uintptr_t>(pointer);
  char digits[2 * sizeof value];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
  } while (value != 0);
  out.put("0x", 2);
  while (n > 0) out.put(digits[--n]);
}

// The conversions most lines hold, written without the C library's printf:
// %d %i %u with no length or with l, ll or z, and %p. The directive at f is
// plain when it is one of these; f then points past it. False for any other.
bool put_plain(output &out, const char *&f, va_list &args) {
  const char *c = f + 1;
  int longs = 0;
  bool size = *c == 'z';
  if (size) c++;
  while (!size && *c == 'l' && longs < 2) {
    longs++;
    c++;
  }
  switch (*c) {
    case 'd': case 'i':
      if (size) put_signed(out, va_arg(args, ssize_t));
      else if (longs == 2) put_signed(out, va_arg(args, long long));
      else if (longs == 1) put_signed(out, va_arg(args, long));
      else put_signed(out, va_arg(args, int));
      break;
    case 'u':
      if (size) put_unsigned(out, va_arg(args, size_t));
      else if (longs == 2) put_unsigned(out, va_arg(args, unsigned long long));
      else if (longs == 1) put_unsigned(out, va_arg(args, unsigned long));
      else put_unsigned(out, va_arg(args, unsigned int));
      break;
    case 'p':
      if (size || longs != 0) return false;
      put_pointer(out, va_arg(args, void *));
      break;
    default: return false;
  }
  f = c;
  return true;
}

// The decimal number at f (and moves past it), or -1 when there is none.
long read_number(const char *&f) {
  long n = -1;
  for (; isdigit(static_cast<unsigned char>(*f)); f++) n = (n < 0 ? 0 : n * 10) + (*f - '0');
  return n;
}

// printf's conversions without `*` (no format of this program takes its width
// or precision from an argument): such a directive is shown as written.
size_t format_message(char *buffer, size_t size, const char *format, va_list incoming) {
  va_list args;  // a copy of its own, so that put_plain can take it by reference
  va_copy(args, incoming);
  output out{buffer, size > 0 ? size - 1 : 0};
  for (const char *f = format; *f != '\0'; f++) {
    if (*f != '%') {
      out.put(*f);
      continue;
    }
    if (put_plain(out, f, args)) continue;
    const char *start = f++;
    bool left = false;
    for (; *f != '\0' && strchr("-+ #0", *f) != nullptr; f++) left |= *f == '-';
    long width = read_number(f), precision = -1;
    if (*f == '.') precision = std::max(read_number(++f), 0L);
    const char *modifier = f;
    while (*f != '\0' && strchr("hljztL", *f) != nullptr) f++;
    if (*f == '\0') break;
    const std::string length(modifier, f), directive(start, f + 1);
    char conversion = *f;
    switch (conversion) {
      case '%': out.put('%'); break;
      case 's': put_escaped(out, va_arg(args, const char *), precision, width, left); break;
      case 'c': put_converted(out, directive, va_arg(args, int)); break;
      case 'p': put_converted(out, directive, va_arg(args, void *)); break;
      case 'd': case 'i':
        if (length == "l") put_converted(out, directive, va_arg(args, long));
        else if (length == "ll") put_converted(out, directive, va_arg(args, long long));
        else if (length == "z") put_converted(out, directive, va_arg(args, ssize_t));
        else if (length == "j") put_converted(out, directive, va_arg(args, intmax_t));
        else if (length == "t") put_converted(out, directive, va_arg(args, ptrdiff_t));
        else put_converted(out, directive, va_arg(args, int));
        break;
      case 'u': case 'x': case 'X': case 'o':
        if (length == "l") put_converted(out, directive, va_arg(args, unsigned long));
        else if (length == "ll") put_converted(out, directive, va_arg(args, unsigned long long));
        else if (length == "z") put_converted(out, directive, va_arg(args, size_t));
        else if (length == "j") put_converted(out, directive, va_arg(args, uintmax_t));
        else if (length == "t") put_converted(out, directive, va_arg(args, ptrdiff_t));
        else put_converted(out, directive, va_arg(args, unsigned int));
        break;
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        if (length == "L") put_converted(out, directive, va_arg(args, long double));
        else put_converted(out, directive, va_arg(args, double));
        break;
      default: out.put(directive.c_str(), directive.size()); break;  // not a conversion: shown as written
    }
  }
  va_end(args);
  if (size > 0) buffer[std::min(out.total, size - 1)] = '\0';
  return out.total;
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

namespace {

constexpr size_t FUNCTION_NAME_MAX = 256;

// The line prefix, "%02d-%02d-%04d %02d:%02d:%02d.%03d %-5s [%d,%ld] [%s@%d] ".
// Its date and time up to the second change once a second and the ids never
// within a thread, so each thread formats them once and copies them after.
int format_prefix(char *out, const local_stamp &stamp, int level, const char *function, unsigned line) {
  thread_local time_t head_second = -1;
  thread_local char head[64];
  thread_local int head_length = 0;
  thread_local char ids[64];
  thread_local int ids_length = -1;
  if (stamp.second != head_second || head_length <= 0) {
    head_length = snprintf(head, sizeof head, "%02d-%02d-%04d %02d:%02d:%02d.", stamp.tm.tm_mon + 1, stamp.tm.tm_mday,
                           stamp.tm.tm_year + 1900, stamp.tm.tm_hour, stamp.tm.tm_min, stamp.tm.tm_sec);
    head_length = std::clamp(head_length, 0, static_cast<int>(sizeof head) - 1);
    head_second = stamp.second;
  }
  if (ids_length < 0) {
    ids_length = snprintf(ids, sizeof ids, " [%d,%ld] [", process_id(), thread_id());
    ids_length = std::clamp(ids_length, 0, static_cast<int>(sizeof ids) - 1);
  }
  char *p = out;
  memcpy(p, head, static_cast<size_t>(head_length));
  p += head_length;
  unsigned ms = static_cast<unsigned>(stamp.millisecond) % 1000;
  *p++ = static_cast<char>('0' + ms / 100);
  *p++ = static_cast<char>('0' + ms / 10 % 10);
  *p++ = static_cast<char>('0' + ms % 10);
  *p++ = ' ';
  static const char padded_names[4][6] = {"INFO ", "ERROR", "WARN ", "DEBUG"};
  memcpy(p, padded_names[level], 5);
  p += 5;
  memcpy(p, ids, static_cast<size_t>(ids_length));
  p += ids_length;
  size_t name_length = strnlen(function, FUNCTION_NAME_MAX);
  memcpy(p, function, name_length);
  p += name_length;
  *p++ = '@';
  if (static_cast<int>(line) < 0) {
    *p++ = '-';
    p = put_decimal(p, 0u - line);
  } else {
    p = put_decimal(p, line);
  }
  *p++ = ']';
  *p++ = ' ';
  return static_cast<int>(p - out);
}

}  // namespace

void write_log(unsigned line, const char *function, int level, const char *format, ...) {
  logger *log = g_logger.load(std::memory_order_acquire);
  if (log == nullptr || log->level < level || level < 0 || level > 3) return;
  int saved_errno = errno;  // a log call never changes errno for its caller
  local_stamp stamp = read_local_time();
  char buffer[LOG_LINE_BUFFER];
  int prefix = format_prefix(buffer, stamp, level, function, line);
  va_list args;
  va_start(args, format);
  size_t message = format_message(buffer + prefix, static_cast<size_t>(LOG_LINE_BUFFER - 1 - prefix), format, args);
  va_end(args);
  int length = static_cast<int>(std::min(static_cast<size_t>(prefix) + message, static_cast<size_t>(LOG_LINE_MAX)));
  if (length < LOG_LINE_MAX) buffer[length++] = '\n';
  log_file *file;
  {
    std::lock_guard<spinning_mutex> guard(log->lock);
    file = place_line_locked(*log, stamp.tm, length);
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
