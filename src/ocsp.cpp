#include "ocsp.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <unordered_map>

#include "channel.h"
#include "identity.h"
#include "log.h"
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

int64_t system_seconds() { return static_cast<int64_t>(time(nullptr)); }

std::atomic<ocsp_clock_fn> g_clock{system_seconds};
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

// ---- one check in steps ----

namespace {

// The parts of a URL that go into the request line and the Host header: a
// space, a control byte or DEL would let a certificate write its own request.
bool fit_for_the_wire(const char *text) {
  for (const char *p = text; p != nullptr && *p != '\0'; p++)
    if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return false;
  return text != nullptr;
}

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

enum class stage { waiting_for_verdict, chain, candidate, responders };

}  // namespace

struct server_check {
  std::string key;  // the ServerAddr text
  SSL *ssl = nullptr;
  int fd = -1;        // the server's socket, named in log lines
  int epoll_fd = -1;  // where the check's own socket is registered
  ocsp_status *entry = nullptr;
  bool checking = false;  // this check holds the entry's `checking`
  stage at = stage::waiting_for_verdict;
  steady::time_point deadline;
  // The chain walk: up to three passes, the leaf against every other certificate.
  X509 *peer = nullptr;
  STACK_OF(X509) *chain = nullptr;
  int pass = 0, index = 0, verdict = OCSP_NO_VERDICT;
  // check_cert_OCSP for the candidate issuer in hand.
  OCSP_REQUEST *request = nullptr;
  STACK_OF(OPENSSL_STRING) *urls = nullptr;
  int url_count = 0, url_index = 0, url_verdict = OCSP_NO_VERDICT, local_error = 0;
  bool got_response = false;
  responder_exchange *exchange = nullptr;
  // The socket registered in epoll_fd now, and its mask.
  int watched = -1;
  uint32_t watched_events = 0;
};

namespace {

std::mutex ocsp_cache_mutex;
std::unordered_map<std::string, ocsp_status *> ocsp_cache;

int64_t now_seconds() { return g_clock.load(std::memory_order_relaxed)(); }

// The cache holds at most OCSP_CACHE_LIMIT servers: past that, entries no
// task is using make room, stale ones first. A fresh verdict dropped that way
// only means one more check. Called with the map lock held.
void make_room() {
  int64_t now = now_seconds();
  for (int pass = 0; pass < 2 && ocsp_cache.size() >= OCSP_CACHE_LIMIT; pass++) {
    for (auto it = ocsp_cache.begin(); it != ocsp_cache.end() && ocsp_cache.size() >= OCSP_CACHE_LIMIT;) {
      ocsp_status *entry = it->second;
      // With no user, no one else can reach the entry: its fields may be read here.
      if (entry->users == 0 && (pass == 1 || now >= entry->next_check)) {
        delete entry;
        it = ocsp_cache.erase(it);
      } else {
        ++it;
      }
    }
  }
}

// The entry for a server, counted as used until release_entry.
ocsp_status *use_entry(const std::string &key) {
  std::lock_guard<std::mutex> guard(ocsp_cache_mutex);
  auto found = ocsp_cache.find(key);
  if (found != ocsp_cache.end()) {
    found->second->users++;
    return found->second;
  }
  make_room();
  ocsp_status *entry = new (std::nothrow) ocsp_status;
  if (entry == nullptr) {
    LOG_AT("check_server_certificate", LOG_ERROR, "Unable to create new ocsp_status object - OOM");
    return nullptr;
  }
  entry->users = 1;
  ocsp_cache.emplace(key, entry);
  return entry;
}

void release_entry(ocsp_status *entry) {
  std::lock_guard<std::mutex> guard(ocsp_cache_mutex);
  entry->users--;
}

// The cached verdict while it is fresh, logged; OCSP_NO_VERDICT when a check
// must be made. Called with the entry's lock held.
int cached_verdict(ocsp_status *entry, const std::string &key, int fd) {
  if (now_seconds() >= entry->next_check) return OCSP_NO_VERDICT;
  if (entry->is_valid) {
    LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d in cache is valid",
           key.c_str(), fd);
    return OCSP_GOOD;
  }
  LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d in cache is invalid", key.c_str(),
         fd);
  return OCSP_REVOKED;
}

// ---- the check's socket in the caller's epoll set ----

void watch(server_check *c, int fd, uint32_t events) {
  if (fd == c->watched && events == c->watched_events) return;
  if (c->watched >= 0 && fd != c->watched) {
    change_events(c->epoll_fd, c->watched);
    c->watched = -1;
    c->watched_events = 0;
  }
  if (fd < 0) return;
  if (change_events(events, c->watched_events, c->epoll_fd, fd) != 0) {
    // Not watched, the deadline still ends the wait.
    c->watched = -1;
    c->watched_events = 0;
    return;
  }
  c->watched = fd;
  c->watched_events = events;
}

// A socket leaves the epoll set before it is closed.
void unwatch(server_check *c) { watch(c, -1, 0); }

// ---- one responder exchange (send_request, query_responder) ----

void end_exchange(server_check *c) {
  responder_exchange *x = c->exchange;
  if (x == nullptr) return;
  unwatch(c);
  if (x->context != nullptr) OSSL_HTTP_REQ_CTX_free(x->context);
  if (x->bio != nullptr) {
    BIO_set_callback_ex(x->bio, nullptr);
    BIO_free_all(x->bio);  // closes the socket
  } else if (x->fd >= 0) {
    close(x->fd);
  }
  ERR_clear_error();
  delete x;
  c->exchange = nullptr;
}

// The connected socket gets its BIO, byte budget and HTTP request. False
// when the request cannot be set up.
bool open_exchange(server_check *c) {
  responder_exchange *x = c->exchange;
  x->bio = BIO_new(BIO_s_socket());
  if (x->bio == nullptr) {
    LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
    c->local_error = ENOMEM;
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
  return add_headers(x->context, x->path.c_str(), x->host.c_str(), c->request);
}

enum class exchange_result { waiting, response, none, no_connection };

// One turn of the exchange. On `response` *response holds what came back.
exchange_result query_responder(server_check *c, OCSP_RESPONSE **response) {
  responder_exchange *x = c->exchange;
  if (x->connecting) {
    uint16_t local_port = 0;
    unwatch(c);  // the connector may close this attempt and open the next
    connect_progress progress = connect_resume(x->connector, x->fd, local_port);
    if (progress == connect_progress::in_progress) {
      watch(c, x->fd, EPOLLOUT);
      return exchange_result::waiting;
    }
    if (progress != connect_progress::connected) {
      if (progress == connect_progress::failed_here) c->local_error = errno != 0 ? errno : EMFILE;
      LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
      return exchange_result::no_connection;
    }
    x->connecting = false;
  }
  if (x->bio == nullptr) {
    if (!open_exchange(c)) return x->bio == nullptr ? exchange_result::no_connection : exchange_result::none;
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
  watch(c, x->fd, events);
  return exchange_result::waiting;
}

// ---- check_cert_OCSP: one candidate issuer, its responder URLs in turn ----

void end_cert_check(server_check *c) {
  end_exchange(c);
  X509_email_free(c->urls);
  c->urls = nullptr;
  OCSP_REQUEST_free(c->request);
  c->request = nullptr;
}

// A response came back from URL number c->url_index.
void take_response(server_check *c, OCSP_RESPONSE *response) {
  c->got_response = true;
  int status = OCSP_response_status(response);
  if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "Response status %d - %s", status,
           OCSP_response_status_str(static_cast<long>(status)));
  } else {
    c->url_verdict = verifies_server(c->ssl) ? parse_verified_response(response, c->request, c->ssl, c->key, c->fd)
                                             : parse_response(response);
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "%d - is_revoked %d", c->url_index, c->url_verdict);
  }
  OCSP_RESPONSE_free(response);
}

enum class start_result { started, unusable_url, no_connection };

// Starts the exchange with URL number c->url_index: the URL taken apart and
// the connection begun.
start_result start_exchange(server_check *c, const char *url) {
  char *host = nullptr, *port = nullptr, *path = nullptr;
  int use_ssl = 0;
  if (OSSL_HTTP_parse_url(url, &use_ssl, nullptr, &host, &port, nullptr, &path, nullptr, nullptr) != 1 || use_ssl ||
      !fit_for_the_wire(host) || !fit_for_the_wire(port) || !fit_for_the_wire(path)) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "client fd %d parse url failed %s", c->fd, url);
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
    c->local_error = ENOMEM;
    return start_result::no_connection;
  }
  c->exchange = x;
  uint16_t local_port = 0;
  connect_progress progress =
      do_connect(x->connector, c->fd, x->host.c_str(), x->port.c_str(), OCSP_CONNECT_SECONDS, x->fd, local_port);
  if (progress == connect_progress::connected) {
    x->connecting = false;  // the request is set up on the next turn
    return start_result::started;
  }
  if (progress == connect_progress::in_progress) {
    watch(c, x->fd, EPOLLOUT);
    return start_result::started;
  }
  if (progress == connect_progress::failed_here) c->local_error = errno != 0 ? errno : EMFILE;
  LOG_AT("send_request", LOG_ERROR, "Unable to connect to %s", x->host.c_str());
  end_exchange(c);
  return start_result::no_connection;
}

// The URLs from c->url_index on, until one gives a verdict. True once the
// candidate's verdict is in c->url_verdict; false while an exchange waits.
bool run_urls(server_check *c) {
  for (;;) {
    if (c->exchange != nullptr) {
      OCSP_RESPONSE *response = nullptr;
      exchange_result result = query_responder(c, &response);
      if (result == exchange_result::waiting) return false;
      end_exchange(c);
      if (result == exchange_result::response) {
        take_response(c, response);
      } else {
        if (result == exchange_result::none) LOG_AT("send_request", LOG_ERROR, "Error querying OCSP responder");
        LOG_AT("check_cert_OCSP", LOG_ERROR, "send request failed");
      }
      c->url_index++;
    }
    if (c->url_index >= c->url_count || c->url_verdict != OCSP_NO_VERDICT || c->local_error != 0) break;
    const char *url = sk_OPENSSL_STRING_value(c->urls, c->url_index);
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "%d of %d - querying url %s", c->url_index, c->url_count, url);
    start_result started = start_exchange(c, url);
    if (started == start_result::started) continue;
    if (started == start_result::no_connection) LOG_AT("check_cert_OCSP", LOG_ERROR, "send request failed");
    c->url_index++;
  }
  if (!c->got_response) c->url_verdict = c->local_error != 0 ? OCSP_LOCAL_FAILURE : OCSP_NO_RESPONDER;
  end_cert_check(c);
  LOG_AT("check_cert_OCSP", LOG_DEBUG, "client fd %d is_revoked %d", c->fd, c->url_verdict);
  return true;
}

// Begins check_cert_OCSP for `issuer`. True when its verdict is known at
// once (in c->url_verdict).
bool begin_cert_check(server_check *c, X509 *issuer) {
  c->url_verdict = OCSP_NO_VERDICT;
  c->got_response = false;
  c->local_error = 0;
  c->url_index = 0;
  c->request = prepare_request(c->peer, issuer);
  if (c->request == nullptr) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "prepare_request failed");
    return true;
  }
  c->urls = X509_get1_ocsp(c->peer);
  c->url_count = c->urls != nullptr ? sk_OPENSSL_STRING_num(c->urls) : 0;
  if (c->url_count <= 0) {
    end_cert_check(c);
    c->url_verdict = OCSP_NO_RESPONDER;
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "client fd %d is_revoked %d", c->fd, OCSP_NO_RESPONDER);
    return true;
  }
  return run_urls(c);
}

// ---- the verdict ----

check_progress store_verdict(server_check *c, int verdict) {
  int local_error = c->local_error;
  const char *key = c->key.c_str();
  ocsp_status *entry = c->entry;
  std::unique_lock<std::mutex> guard(entry->mutex);
  c->checking = false;
  entry->checking = false;
  int64_t now = now_seconds();
  if (verdict == OCSP_LOCAL_FAILURE) {
    // Nothing was learnt about the server: only this task is refused, and the
    // entry stays stale so that the next request checks again.
    guard.unlock();
    char text[ERROR_TEXT_SIZE];
    LOG_AT("check_server_certificate", LOG_ERROR,
           "unable to check the certificate for server %s on this host - %s, not saved in cache", key,
           errno_text(local_error, text));
    LOG_AT("check_server_certificate", LOG_ERROR, "Server certificate verification is invalid fd %d", c->fd);
    return check_progress::refused;
  }
  entry->is_valid = verdict == OCSP_GOOD;
  entry->next_check = now + (verdict == OCSP_NO_RESPONDER ? OCSP_PERIOD_NO_RESPONDER : OCSP_PERIOD_CHECKED);
  guard.unlock();
  if (verdict == OCSP_GOOD) {
    LOG_AT("check_server_certificate", LOG_INFO, "certificate is verified for server %s, save it in cache", key);
    return check_progress::accepted;
  }
  if (verdict == OCSP_NO_RESPONDER)
    LOG_AT("check_server_certificate", LOG_ERROR, "unable to connect to ocsp for server %s, retry in 15 minutes", key);
  else
    LOG_AT("check_server_certificate", LOG_INFO, "certificate is not verified for server %s, save it in cache", key);
  LOG_AT("check_server_certificate", LOG_ERROR, "Server certificate verification is invalid fd %d", c->fd);
  return check_progress::refused;
}

// The check ends without a verdict to keep (no peer certificate or chain):
// the entry keeps its time, so the next task checks again.
check_progress give_up(server_check *c) {
  std::lock_guard<std::mutex> guard(c->entry->mutex);
  c->checking = false;
  c->entry->checking = false;
  return check_progress::refused;
}

// As far as the check can go without waiting.
check_progress advance(server_check *c) {
  for (;;) {
    switch (c->at) {
      case stage::waiting_for_verdict: {
        std::unique_lock<std::mutex> guard(c->entry->mutex);
        int cached = cached_verdict(c->entry, c->key, c->fd);
        if (cached != OCSP_NO_VERDICT) return cached == OCSP_GOOD ? check_progress::accepted : check_progress::refused;
        if (c->entry->checking) {
          // Another task asks the responders for this server: its verdict is
          // looked for again shortly.
          c->deadline = steady::now() + std::chrono::milliseconds(OCSP_VERDICT_POLL_MS);
          return check_progress::pending;
        }
        c->entry->checking = c->checking = true;
        c->entry->is_valid = false;
        guard.unlock();
        LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d, needs to be validated",
               c->key.c_str(), c->fd);
        c->at = stage::chain;
        break;
      }
      case stage::chain:
        c->peer = SSL_get1_peer_certificate(c->ssl);
        if (c->peer == nullptr) {
          LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get server certificate fd %d", c->fd);
          return give_up(c);
        }
        c->chain = SSL_get_peer_cert_chain(c->ssl);
        if (c->chain == nullptr) {
          LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get certificate chain from server fd %d", c->fd);
          return give_up(c);
        }
        c->at = stage::candidate;
        break;
      case stage::candidate: {
        // Up to three passes over the chain; the leaf is the certificate
        // under check and every other certificate is tried as its issuer.
        // The last verdict decides.
        int n = sk_X509_num(c->chain);
        if (c->index >= n) {
          c->index = 0;
          if (++c->pass >= OCSP_CHAIN_PASSES || n <= 0) return store_verdict(c, c->verdict);
        }
        LOG_AT("check_server_certificate", LOG_DEBUG, "Try to check %d of %d certificate fd %d", c->index, n, c->fd);
        X509 *candidate = sk_X509_value(c->chain, c->index);
        if (candidate == nullptr) {
          LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get issuer X509 fd %d", c->fd);
          return store_verdict(c, c->verdict);
        }
        if (X509_cmp(candidate, c->peer) == 0) {
          LOG_AT("check_server_certificate", LOG_DEBUG, "found server_cert in chain -- skipping");
          c->index++;
          break;
        }
        LOG_AT("check_server_certificate", LOG_DEBUG, "verify server certificate fd %d", c->fd);
        c->at = stage::responders;
        if (!begin_cert_check(c, candidate)) return check_progress::pending;
        break;
      }
      case stage::responders:
        if (c->exchange != nullptr && !run_urls(c)) return check_progress::pending;
        c->verdict = c->url_verdict;
        if (c->verdict == OCSP_GOOD || c->verdict == OCSP_NO_RESPONDER || c->verdict == OCSP_LOCAL_FAILURE)
          return store_verdict(c, c->verdict);
        c->index++;
        c->at = stage::candidate;
        break;
    }
  }
}

}  // namespace

check_progress check_server_certificate(const std::string &server_addr, SSL *ssl, int fd, int epoll_fd,
                                        server_check **check) {
  *check = nullptr;
  // Keyed by the address exactly as the client sent it (and by the certificate, when the server is verified).
  ocsp_status *entry = use_entry(verdict_key(server_addr, ssl));
  if (entry == nullptr) return check_progress::refused;
  int cached;
  {
    // Most checks end here, with a verdict kept from an earlier one.
    std::lock_guard<std::mutex> guard(entry->mutex);
    cached = cached_verdict(entry, server_addr, fd);
  }
  if (cached != OCSP_NO_VERDICT) {
    release_entry(entry);
    return cached == OCSP_GOOD ? check_progress::accepted : check_progress::refused;
  }
  server_check *c = new (std::nothrow) server_check;
  if (c == nullptr) {
    LOG_AT("check_server_certificate", LOG_ERROR, "Unable to create new server_check object - OOM");
    release_entry(entry);
    return check_progress::refused;
  }
  c->key = server_addr;
  c->ssl = ssl;
  c->fd = fd;
  c->epoll_fd = epoll_fd;
  c->entry = entry;
  check_progress progress = advance(c);
  if (progress == check_progress::pending) {
    *check = c;
  } else {
    end_server_check(c);
  }
  return progress;
}

check_progress continue_server_check(server_check *check) { return advance(check); }

int server_check_socket(const server_check *check) { return check->watched; }

steady::time_point server_check_deadline(const server_check *check) {
  if (check->exchange == nullptr) return check->deadline;
  steady::time_point when;
  if (check->exchange->connecting) return connect_deadline(check->exchange->connector, &when) ? when : steady::time_point::max();
  return check->exchange->deadline;
}

void end_server_check(server_check *check) {
  if (check == nullptr) return;
  end_cert_check(check);
  X509_free(check->peer);
  if (check->checking) give_up(check);  // no verdict: the next task for this server checks again
  release_entry(check->entry);
  delete check;
}

void ocsp_set_clock_for_test(ocsp_clock_fn clock) { g_clock.store(clock != nullptr ? clock : system_seconds); }

void ocsp_set_wait_for_test(int wait_ms) { g_wait_ms.store(wait_ms > 0 ? wait_ms : OCSP_WAIT_MS); }

void clear_ocsp_cache() {
  for (auto &entry : ocsp_cache) delete entry.second;
  ocsp_cache.clear();
}
