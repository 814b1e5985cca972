// Shared by the benchmark server and load generator: the transfer pattern
// and the small framing that tells the server what a connection wants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

// Byte i of every transfer is pattern_byte(i); the prime period catches
// reordered or repeated blocks as well as lost and corrupted bytes.
constexpr size_t PATTERN_PERIOD = 65521;

inline const unsigned char *pattern_table() {
  static unsigned char table[PATTERN_PERIOD * 2];
  static bool ready = [] {
    uint32_t state = 2463534242u;
    for (size_t i = 0; i < PATTERN_PERIOD; i++) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      table[i] = static_cast<unsigned char>(state);
    }
    memcpy(table + PATTERN_PERIOD, table, PATTERN_PERIOD);
    return true;
  }();
  (void)ready;
  return table;
}

// Pointer to `length` (at most PATTERN_PERIOD) pattern bytes starting at `offset`.
inline const unsigned char *pattern_at(uint64_t offset) { return pattern_table() + offset % PATTERN_PERIOD; }

inline bool pattern_matches(const unsigned char *data, size_t length, uint64_t offset) {
  while (length > 0) {
    size_t chunk = length < PATTERN_PERIOD ? length : PATTERN_PERIOD;
    if (memcmp(data, pattern_at(offset), chunk) != 0) return false;
    data += chunk;
    length -= chunk;
    offset += chunk;
  }
  return true;
}

// A connection starts with a 9-byte header: the mode and a big-endian length.
//  'U' upload: the client sends `length` pattern bytes, the server answers 'K' (or 'X' on a mismatch)
//  'D' download: the server sends `length` pattern bytes
//  'E' echo: the server echoes every byte until the connection ends
constexpr size_t HEADER_SIZE = 9;

inline void make_header(unsigned char *out, char mode, uint64_t length) {
  out[0] = static_cast<unsigned char>(mode);
  for (int i = 0; i < 8; i++) out[1 + i] = static_cast<unsigned char>(length >> (56 - 8 * i));
}

inline uint64_t header_length(const unsigned char *header) {
  uint64_t length = 0;
  for (int i = 0; i < 8; i++) length = (length << 8) | header[1 + i];
  return length;
}

}  // namespace bench
