// The OCSP client: asks the responders a certificate names whether it is
// revoked, in steps that never wait. Each exchange (connect, HTTP request,
// response) is driven by its socket's events, registered in the caller's
// epoll set, and by one deadline and one byte budget.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

OCSP_REQUEST *prepare_request(X509 *cert, X509 *issuer);
int parse_response(OCSP_RESPONSE *response);

struct responder_exchange;

// check_cert_OCSP for one certificate and one candidate issuer: the
// certificate's responder URLs in turn until one gives a verdict.
struct cert_query {
  X509 *cert = nullptr;  // the certificate asked about (not owned)
  int log_fd = -1;       // the server's socket, named in log lines
  int epoll_fd = -1;     // where the exchange's socket is registered
  void *waiter = nullptr;  // driven again when a responder's name has been looked up
  // A connection that verifies its server: an answer counts only when it
  // verifies to that connection's trust anchors (nullptr: any answer counts).
  SSL *verify_for = nullptr;
  std::string server;  // the ServerAddr text, named when an answer does not count
  int verdict = OCSP_NO_VERDICT;
  int local_error = 0;  // errno of a failure of this host, which ends the query
  OCSP_REQUEST *request = nullptr;
  STACK_OF(OPENSSL_STRING) *urls = nullptr;
  int url_count = 0, url_index = 0;
  bool got_response = false;
  responder_exchange *exchange = nullptr;
  // The exchange's socket as registered in epoll_fd now (-1: none), and its mask.
  int watched = -1;
  uint32_t watched_events = 0;
};

// Starts the query of q.cert (q.log_fd and q.epoll_fd set) against `issuer`.
// True when its verdict is in q.verdict; false while an exchange waits.
bool begin_cert_query(cert_query &q, X509 *issuer);
// After an event on the exchange's socket or once its deadline has passed
// (an early call does no harm): as begin_cert_query.
bool continue_cert_query(cert_query &q);
// Ends the exchange, if one is out, and frees what the query holds.
void end_cert_query(cert_query &q);
// When the exchange in progress must be continued even if its socket stays quiet.
std::chrono::steady_clock::time_point cert_query_deadline(const cert_query &q);

// Test seam, called only by in-process tests: the time one exchange with a
// responder may take, in milliseconds (0 restores OCSP_WAIT_MS).
void ocsp_set_wait_for_test(int wait_ms);
