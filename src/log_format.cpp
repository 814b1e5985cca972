// Log line formatting: the line prefix, and printf-style messages in which
// text from outside cannot start a line of its own. Where lines go (files,
// rotation, the lock) is the writer's, in log.
#include "log_format.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

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

int process_id() {
  static const int pid = static_cast<int>(getpid());  // read once, thread-safe
  return pid;
}

long thread_id() {
  thread_local const long tid = static_cast<long>(gettid());
  return tid;
}

constexpr size_t FUNCTION_NAME_MAX = 256;

}  // namespace

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
