// libFuzzer target: the connection request parser, fed as the worker feeds
// it (at most 4095 bytes, NUL-terminated), with log lines formatted as usual.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "log.h"
#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool logging = [] {
    init_log("/nonexistent/sealgate-fuzz", "fuzz", 0, LOG_DEBUG);  // lines are formatted, then dropped
    return true;
  }();
  (void)logging;
  char text[4096];
  size_t length = size < sizeof text - 1 ? size : sizeof text - 1;
  memcpy(text, data, length);
  text[length] = '\0';
  connection_info info;
  parse_connection_info(text, info);
  return 0;
}
