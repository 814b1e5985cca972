// Log writer: rotating files named by date and sequence number, each line
// placed under a lock and written after it, and the helpers that turn error
// numbers into text. Lines are formatted by log_format.
#pragma once

#include <cerrno>
#include <ctime>

enum log_level : int { LOG_INFO = 0, LOG_ERROR = 1, LOG_WARN = 2, LOG_DEBUG = 3 };

constexpr int LOG_LINE_BUFFER = 16384;
constexpr int LOG_LINE_MAX = 16382;  // text longer than this is cut; the line break still follows
constexpr int LOG_KEEP_FILES = 60;
constexpr int ERROR_TEXT_SIZE = 1024;

// Creates the process-wide logger and runs the start-up scan. Later calls do
// nothing. A log file is only ever a regular file of this user: a name that
// something else holds (a symlink, a FIFO, another user's file) is passed
// over for the next number, with an ERROR line in the file that opens. A
// directory that others may write without the sticky bit gets a WARN line.
void init_log(const char *directory, const char *base_name, int size_limit, int level);

// While on (start-up), every ERROR line is also written to standard error as
// "sealgate: <message>", whatever the level: a failed start is then seen
// where it was started, even when no log file can open.
void log_echo_errors(bool on);

// Writes one line when a logger exists and its level is at least `level`.
void write_log(unsigned line, const char *function, int level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// For a thread that runs in cycles: its lines from now on gather and leave
// in one write when it calls log_flush(), which it does before it waits (and
// sooner when they fill LOG_GATHER_BYTES or the file changes), so a line
// reaches the file within the cycle that wrote it. Other threads, and this
// one after log_gather_lines(false), write each line at once.
constexpr size_t LOG_GATHER_BYTES = 32768;
void log_gather_lines(bool on);
void log_flush();

// True when a logger exists; its configured level is stored in *level.
bool log_level_configured(int *level);
// Whether a line of this level would be written now.
bool log_writes(int level);

// The clock the writer reads (real time). Tests replace it to cross midnight.
using log_clock_fn = struct timespec (*)();
void log_set_clock(log_clock_fn clock);  // nullptr restores the system clock

// Fills the 1024-byte buffer with the C library's text for `error`.
char *errno_text(int error, char *buffer);
// Fills the 1024-byte buffer with the text of the calling thread's last socket
// error, and stores that error number in *result when given.
char *socket_error_text(char *buffer, int *result);

// Test support: drops the logger so that another init_log takes effect.
void log_reset_for_test();

#define LOG_AT(function, level, ...) write_log(__LINE__, function, level, __VA_ARGS__)
#define LOG(level, ...) write_log(__LINE__, __func__, level, __VA_ARGS__)

// The error reporting convention for calls that set errno: the message gets
// " - <error text>" or " - errno not set", and errno survives the log call.
#define LOG_ERRNO(level, fmt, ...)                                                       \
  do {                                                                                   \
    int saved_errno_ = errno;                                                            \
    errno = 0;                                                                           \
    if (saved_errno_ != 0) {                                                             \
      char errbuf_[ERROR_TEXT_SIZE];                                                     \
      LOG(level, fmt " - %s" __VA_OPT__(, ) __VA_ARGS__, errno_text(saved_errno_, errbuf_)); \
    } else {                                                                             \
      LOG(level, fmt " - errno not set" __VA_OPT__(, ) __VA_ARGS__);                     \
    }                                                                                    \
    errno = saved_errno_;                                                                \
  } while (0)
