// Log line formatting: the line prefix, and printf-style messages in which
// text from outside cannot start a line of its own. Where the lines go is
// the writer's (log).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

// The local time a line is stamped with.
struct local_stamp {
  struct tm tm;
  int millisecond;
  time_t second;
};

// Writes "%02d-%02d-%04d %02d:%02d:%02d.%03d %-5s [%d,%ld] [%s@%d] " (the
// time, the level's name, the process and thread ids, the caller) at out,
// without a terminator; its length (a function name counts up to 256 bytes).
int format_prefix(char *out, const local_stamp &stamp, int level, const char *function, unsigned line);

// printf's conversions, except that the text a %s argument brings has its
// control bytes escaped ("\n", "\x01") and is shown up to 8192 bytes. At most
// size - 1 bytes are stored, then a terminator; the length the whole message
// has, which may be more.
size_t format_message(char *buffer, size_t size, const char *format, va_list args);
