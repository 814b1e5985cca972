// libFuzzer target: an OCSP response as a responder might send it, taken
// through the status check and the response parser.
#include <cstddef>
#include <cstdint>
#include <openssl/ocsp.h>

#include "log.h"
#include "ocsp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool logging = [] {
    init_log("/nonexistent/sealgate-fuzz", "fuzz", 0, LOG_DEBUG);
    return true;
  }();
  (void)logging;
  const unsigned char *cursor = data;
  OCSP_RESPONSE *response = d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(size));
  if (response == nullptr) return 0;
  if (OCSP_response_status(response) == OCSP_RESPONSE_STATUS_SUCCESSFUL) parse_response(response);
  OCSP_RESPONSE_free(response);
  return 0;
}
