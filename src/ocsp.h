// Revocation checking: OCSP requests to the responders a certificate names,
// and the per-server verdict cache in front of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>


// Verdicts of one check.
constexpr int OCSP_REVOKED = 1;
constexpr int OCSP_GOOD = 0;
constexpr int OCSP_NO_VERDICT = -1;
constexpr int OCSP_NO_RESPONDER = -2;
// No responder could be tried for a failure of this host (no descriptor or
// memory left), with errno telling which: says nothing about the server.
constexpr int OCSP_LOCAL_FAILURE = -3;

constexpr int OCSP_CONNECT_SECONDS = 100;  // connect budget, whatever the request says
constexpr int OCSP_WAIT_MS = 30000;        // one exchange with a responder, all its waits together
constexpr size_t OCSP_RESPONSE_LIMIT = 1 << 20;  // what a responder may send in one exchange
constexpr int OCSP_CHAIN_PASSES = 3;
constexpr int64_t OCSP_PERIOD_CHECKED = 300;       // verified or not verified
constexpr int64_t OCSP_PERIOD_NO_RESPONDER = 900;  // no responder reached

int check_cert_OCSP(int fd, X509 *cert, X509 *issuer);
OCSP_REQUEST *prepare_request(X509 *cert, X509 *issuer);
OCSP_RESPONSE *send_request(OCSP_REQUEST *request, const char *host, const char *path, const char *port, int fd,
                            int *local_error = nullptr);
OCSP_RESPONSE *query_responder(BIO *bio, const char *path, const char *host, OCSP_REQUEST *request);
int parse_response(OCSP_RESPONSE *response);

struct ocsp_status {
  std::mutex mutex;
  int64_t next_check = 0;
  bool is_valid = false;
  int users = 0;  // tasks checking or waiting to check now (guarded by the map's lock)
};

constexpr size_t OCSP_CACHE_LIMIT = 4096;  // servers whose verdict is kept

// 0 when the server may be used, -1 when it may not: `ssl` has just finished
// its handshake with the server behind `server_addr` (the ServerAddr text the
// client sent, which keys the verdict) on socket `fd`.
int check_server_certificate(const std::string &server_addr, SSL *ssl, int fd);
void clear_ocsp_cache();

// Test seams, called only by in-process tests: the verdict cache's clock
// (seconds since the epoch; nullptr restores the system clock) and the time
// one exchange with a responder may take, in milliseconds (0 restores OCSP_WAIT_MS).
using ocsp_clock_fn = int64_t (*)();
void ocsp_set_clock_for_test(ocsp_clock_fn clock);
void ocsp_set_wait_for_test(int wait_ms);
