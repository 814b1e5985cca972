// The OCSP client: the request for one certificate, each responder URL's
// exchange (connect, HTTP request, response) in steps driven by its socket's
// events and its deadline, and the response read. What the verdict means for
// a server, and the cache of verdicts, are the revocation check's.
#include "ocsp_client.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <openssl/err.h>
#include <openssl/http.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "identity.h"
#include "log.h"
#include "poller.h"
#include "protocol.h"

OCSP_REQUEST *prepare_request(X509 *cert, X509 *issuer) {
  if (issuer == nullptr) {
    LOG(LOG_ERROR, "No issuer certificate specified");
    return nullptr;
  }
  OCSP_REQUEST *request = OCSP_REQUEST_new();
  OCSP_CERTID *id = request != nullptr ? OCSP_cert_to_id(nullptr, cert, issuer) : nullptr;  // SHA-1 by default
  if (id == nullptr || OCSP_request_add0_id(request, id) == nullptr) {
    LOG(LOG_ERROR, "Error Creating OCSP request");
    OCSP_CERTID_free(id);
    OCSP_REQUEST_free(request);
    return nullptr;
  }
  return request;
}


namespace {

std::atomic<int> g_wait_ms{OCSP_WAIT_MS};

using steady = std::chrono::steady_clock;


// Counts what the responder sends; past OCSP_RESPONSE_LIMIT the reads fail,
// so that endless headers or an endless body cost a bounded amount of work.
long count_response_bytes(BIO *bio, int operation, const char *, size_t, int, long, int result,
                          size_t *processed) noexcept {
  if ((operation == (BIO_CB_READ | BIO_CB_RETURN) || operation == (BIO_CB_GETS | BIO_CB_RETURN)) && result > 0 &&
      processed != nullptr) {
    auto *left = static_cast<size_t *>(static_cast<void *>(BIO_get_callback_arg(bio)));
    if (*processed > *left) return -1;
    *left -= *processed;
  }
  return result;
}

bool add_headers(OSSL_HTTP_REQ_CTX *context, const char *path, const char *host, OCSP_REQUEST *request) {
  // The body's Content-Type is added here with the other two headers, so the
  // request carries it once.
  return OSSL_HTTP_REQ_CTX_set_request_line(context, 1, nullptr, nullptr, path) == 1 &&
         OSSL_HTTP_REQ_CTX_add1_header(context, "Content-Type", "application/ocsp-request") == 1 &&
         OSSL_HTTP_REQ_CTX_add1_header(context, "Accept", "application/ocsp-response") == 1 &&
         OSSL_HTTP_REQ_CTX_add1_header(context, "Host", host) == 1 &&
         OSSL_HTTP_REQ_CTX_set_expected(context, nullptr, 1, 0, 0) == 1 &&
         OSSL_HTTP_REQ_CTX_set1_req(context, nullptr, ASN1_ITEM_rptr(OCSP_REQUEST),
                                    reinterpret_cast<const ASN1_VALUE *>(request)) == 1;
}

}  // namespace

namespace {

// The basic response is taken apart through the library's accessor; which of
// its refusals it was tells the three cases apart.
OCSP_BASICRESP *basic_response(OCSP_RESPONSE *response) {
  ERR_clear_error();
  OCSP_BASICRESP *basic = OCSP_response_get1_basic(response);
  if (basic != nullptr) return basic;
  int reason = ERR_GET_REASON(ERR_peek_last_error());
  if (reason == OCSP_R_NO_RESPONSE_DATA)
    LOG_AT("parse_response", LOG_ERROR, "Unable to parse response, the response bytes is NULL");
  else if (reason == OCSP_R_NOT_BASIC_RESPONSE)
    LOG_AT("parse_response", LOG_ERROR, "Unknown OCSP response type");
  else
    LOG_AT("parse_response", LOG_ERROR, "Unable to parse response, it's NULL");
  ERR_clear_error();
  return nullptr;
}

}  // namespace

int parse_response(OCSP_RESPONSE *response) {
  int verdict = OCSP_NO_VERDICT;
  OCSP_BASICRESP *basic = basic_response(response);
  if (basic == nullptr) return OCSP_NO_VERDICT;
  // The response data is part of the basic response itself; it cannot be absent.
  int count = OCSP_resp_count(basic);
  for (int i = 0; i < count; i++) {
    OCSP_SINGLERESP *single = OCSP_resp_get0(basic, i);
    if (single == nullptr) {
      LOG(LOG_ERROR, "Unable to parse response value, it's NULL");
      break;
    }
    int status = OCSP_single_get0_status(single, nullptr, nullptr, nullptr, nullptr);
    if (status < 0) {
      LOG(LOG_ERROR, "Unable to parse response value, status is NULL");
      break;
    }
    if (status == V_OCSP_CERTSTATUS_REVOKED) verdict = OCSP_REVOKED;
    if (status == V_OCSP_CERTSTATUS_GOOD) verdict = OCSP_GOOD;
  }
  OCSP_BASICRESP_free(basic);
  return verdict;
}

// ---- one responder exchange (send_request, query_responder) ----

namespace {

// The parts of a URL that go into the request line and the Host header: a
// space, a control byte or DEL would let a certificate write its own request.
bool fit_for_the_wire(const char *text) {
  for (const char *p = text; p != nullptr && *p != '\0'; p++)
    if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return false;
  return text != nullptr;
}

}  // namespace

// One exchange with one responder URL: the connect, then the HTTP request
// and its response, all within one deadline and one byte budget.
struct responder_exchange {
  std::string host, port, path;
  outbound_connect connector;
  int fd = INVALID_CONNECT_FD;  // ours while connecting; the BIO's (which closes it) after
  BIO *bio = nullptr;
  OSSL_HTTP_REQ_CTX *context = nullptr;
  size_t bytes_left = OCSP_RESPONSE_LIMIT;
  steady::time_point deadline;
  bool connecting = true;
};

namespace {

// The exchange's socket in the caller's epoll set: registered for `events`,
// or for nothing once it is to be closed (a socket leaves the set before it
// is closed, so that the next one given the same number starts afresh).
void watch(cert_query &q, int fd, uint32_t events) {
  if (q.watched >= 0 && fd != q.watched) {
    change_events(0, q.watched_events, q.epoll_fd, q.watched);
    q.watched = -1;
    q.watched_events = 0;
  }
  if (fd < 0) return;
  q.watched = fd;
  // A socket epoll refuses is not watched; the deadline still ends the wait.
  if (change_events(events, q.watched_events, q.epoll_fd, fd) != 0 && q.watched_events == 0) q.watched = -1;
}

void unwatch(cert_query &q) { watch(q, -1, 0); }

void end_exchange(cert_query &q) {
  responder_exchange *x = q.exchange;
  if (x == nullptr) return;
  unwatch(q);
  if (x->context != nullptr) OSSL_HTTP_REQ_CTX_free(x->context);
  if (x->bio != nullptr) {
    BIO_set_callback_ex(x->bio, nullptr);
    BIO_free_all(x->bio);  // closes the socket
  } else if (x->fd >= 0) {
    close(x->fd);
  }
  ERR_clear_error();
  delete x;
  q.exchange = nullptr;
}

// The connected socket gets its BIO, byte budget and HTTP request. False
// when the request cannot be set up.
bool open_exchange(cert_query &q) {
  responder_exchange *x = q.exchange;
  x->bio = BIO_new(BIO_s_socket());
  if (x->bio == nullptr) {
    LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
    q.local_error = ENOMEM;
    return false;
  }
  BIO_set_fd(x->bio, x->fd, BIO_CLOSE);  // freeing the BIO closes the socket
  // The whole exchange, however the responder spaces its bytes, ends within
  // one wait; it may not send more than OCSP_RESPONSE_LIMIT bytes.
  x->deadline = steady::now() + std::chrono::milliseconds(g_wait_ms.load(std::memory_order_relaxed));
  BIO_set_callback_arg(x->bio, static_cast<char *>(static_cast<void *>(&x->bytes_left)));
  BIO_set_callback_ex(x->bio, count_response_bytes);
  x->context = OSSL_HTTP_REQ_CTX_new(x->bio, x->bio, 0);
  if (x->context == nullptr) {
    LOG_AT("query_responder", LOG_ERROR, "Unable to create context for send request");
    return false;
  }
  return add_headers(x->context, x->path.c_str(), x->host.c_str(), q.request);
}

enum class exchange_result { waiting, response, none, no_connection };

// One turn of the exchange. On `response` *response holds what came back.
exchange_result query_responder(cert_query &q, OCSP_RESPONSE **response) {
  responder_exchange *x = q.exchange;
  if (x->connecting) {
    uint16_t local_port = 0;
    unwatch(q);  // the connector may close this attempt and open the next
    connect_progress progress = connect_resume(x->connector, x->fd, local_port);
    if (progress == connect_progress::in_progress || progress == connect_progress::looking_up) {
      watch(q, x->fd, EPOLLOUT);  // no socket while the name is looked up
      return exchange_result::waiting;
    }
    if (progress != connect_progress::connected) {
      if (progress == connect_progress::failed_here) q.local_error = errno != 0 ? errno : EMFILE;
      LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
      return exchange_result::no_connection;
    }
    x->connecting = false;
  }
  if (x->bio == nullptr) {
    if (!open_exchange(q)) return x->bio == nullptr ? exchange_result::no_connection : exchange_result::none;
  }
  ASN1_VALUE *value = nullptr;
  int rc = OSSL_HTTP_REQ_CTX_nbio_d2i(x->context, &value, ASN1_ITEM_rptr(OCSP_RESPONSE));
  if (rc == 1) {
    *response = reinterpret_cast<OCSP_RESPONSE *>(value);
    return exchange_result::response;
  }
  if (rc == 0) {
    LOG_AT("query_responder", LOG_ERROR, "Some error happened - OCSP_sendreq_nbio returned 0");
    return exchange_result::none;
  }
  uint32_t events;
  if (BIO_should_read(x->bio)) {
    events = EPOLLIN | EPOLLPRI;
  } else if (BIO_should_write(x->bio)) {
    events = EPOLLOUT;
  } else {
    LOG_AT("query_responder", LOG_ERROR, "Unexpected retry condition");
    return exchange_result::none;
  }
  if (steady::now() >= x->deadline) {
    LOG_AT("query_responder", LOG_ERROR, "Timeout on request fd %d", x->fd);
    return exchange_result::none;
  }
  watch(q, x->fd, events);
  return exchange_result::waiting;
}

// ---- check_cert_OCSP: one candidate issuer, its responder URLs in turn ----

void release_query(cert_query &q) {
  end_exchange(q);
  X509_email_free(q.urls);
  q.urls = nullptr;
  OCSP_REQUEST_free(q.request);
  q.request = nullptr;
}

// A response came back from URL number q.url_index.
void take_response(cert_query &q, OCSP_RESPONSE *response) {
  q.got_response = true;
  int status = OCSP_response_status(response);
  if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "Response status %d - %s", status,
           OCSP_response_status_str(static_cast<long>(status)));
  } else {
    q.verdict = q.verify_for != nullptr ? parse_verified_response(response, q.request, q.verify_for, q.server, q.log_fd)
                                        : parse_response(response);
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "%d - is_revoked %d", q.url_index, q.verdict);
  }
  OCSP_RESPONSE_free(response);
}

enum class start_result { started, unusable_url, no_connection };

// Starts the exchange with URL number q.url_index: the URL taken apart and
// the connection begun.
start_result start_exchange(cert_query &q, const char *url) {
  char *host = nullptr, *port = nullptr, *path = nullptr;
  int use_ssl = 0;
  if (OSSL_HTTP_parse_url(url, &use_ssl, nullptr, &host, &port, nullptr, &path, nullptr, nullptr) != 1 || use_ssl ||
      !fit_for_the_wire(host) || !fit_for_the_wire(port) || !fit_for_the_wire(path)) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "client fd %d parse url failed %s", q.log_fd, url);
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    ERR_clear_error();
    return start_result::unusable_url;
  }
  LOG_AT("check_cert_OCSP", LOG_DEBUG, "querying url [%s] host [%s] port [%s] path [%s] use_ssl %d", url, host, port,
         path, 0);
  responder_exchange *x = new (std::nothrow) responder_exchange;
  if (x != nullptr) {
    x->host = host;
    x->port = port;
    x->path = path;
  }
  OPENSSL_free(host);
  OPENSSL_free(port);
  OPENSSL_free(path);
  if (x == nullptr) {
    q.local_error = ENOMEM;
    return start_result::no_connection;
  }
  q.exchange = x;
  x->connector.waiter = q.waiter;
  uint16_t local_port = 0;
  connect_progress progress =
      do_connect(x->connector, q.log_fd, x->host.c_str(), x->port.c_str(), OCSP_CONNECT_SECONDS, x->fd, local_port);
  if (progress == connect_progress::connected) {
    x->connecting = false;  // the request is set up on the next turn
    return start_result::started;
  }
  if (progress == connect_progress::in_progress || progress == connect_progress::looking_up) {
    watch(q, x->fd, EPOLLOUT);  // no socket while the name is looked up
    return start_result::started;
  }
  if (progress == connect_progress::failed_here) q.local_error = errno != 0 ? errno : EMFILE;
  LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
  end_exchange(q);
  return start_result::no_connection;
}

// The URLs from q.url_index on, until one gives a verdict. True once the
// verdict is in q.verdict; false while an exchange waits.
bool run_urls(cert_query &q) {
  for (;;) {
    if (q.exchange != nullptr) {
      OCSP_RESPONSE *response = nullptr;
      exchange_result result = query_responder(q, &response);
      if (result == exchange_result::waiting) return false;
      end_exchange(q);
      if (result == exchange_result::response) {
        take_response(q, response);
      } else {
        if (result == exchange_result::none) LOG_AT("send_request", LOG_ERROR, "Error querying OCSP responder");
        LOG_AT("check_cert_OCSP", LOG_ERROR, "send request failed");
      }
      q.url_index++;
    }
    if (q.url_index >= q.url_count || q.verdict != OCSP_NO_VERDICT || q.local_error != 0) break;
    const char *url = sk_OPENSSL_STRING_value(q.urls, q.url_index);
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "%d of %d - querying url %s", q.url_index, q.url_count, url);
    start_result started = start_exchange(q, url);
    if (started == start_result::started) continue;
    if (started == start_result::no_connection) LOG_AT("check_cert_OCSP", LOG_ERROR, "send request failed");
    q.url_index++;
  }
  if (!q.got_response) q.verdict = q.local_error != 0 ? OCSP_LOCAL_FAILURE : OCSP_NO_RESPONDER;
  release_query(q);
  LOG_AT("check_cert_OCSP", LOG_DEBUG, "client fd %d is_revoked %d", q.log_fd, q.verdict);
  return true;
}

}  // namespace

bool begin_cert_query(cert_query &q, X509 *issuer) {
  q.verdict = OCSP_NO_VERDICT;
  q.got_response = false;
  q.local_error = 0;
  q.url_index = 0;
  q.request = prepare_request(q.cert, issuer);
  if (q.request == nullptr) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "prepare_request failed");
    return true;
  }
  q.urls = X509_get1_ocsp(q.cert);
  q.url_count = q.urls != nullptr ? sk_OPENSSL_STRING_num(q.urls) : 0;
  if (q.url_count <= 0) {
    release_query(q);
    q.verdict = OCSP_NO_RESPONDER;
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "client fd %d is_revoked %d", q.log_fd, OCSP_NO_RESPONDER);
    return true;
  }
  return run_urls(q);
}

bool continue_cert_query(cert_query &q) { return q.exchange == nullptr || run_urls(q); }

void end_cert_query(cert_query &q) { release_query(q); }

steady::time_point cert_query_deadline(const cert_query &q) {
  if (q.exchange == nullptr) return steady::time_point::max();
  steady::time_point when;
  if (q.exchange->connecting) return connect_deadline(q.exchange->connector, &when) ? when : steady::time_point::max();
  return q.exchange->deadline;
}

void ocsp_set_wait_for_test(int wait_ms) { g_wait_ms.store(wait_ms > 0 ? wait_ms : OCSP_WAIT_MS); }
