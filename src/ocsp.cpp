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
#include <poll.h>
#include <unistd.h>
#include <unordered_map>

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

// One poll on the responder's socket until `deadline` at the latest. >0
// ready, 0 timeout, -1 error.
int wait_socket(int fd, short events, steady::time_point deadline) {
  struct pollfd p = {fd, events, 0};
  int rc;
  do {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    rc = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
  } while (rc < 0 && errno == EINTR);
  return rc;
}

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

OCSP_RESPONSE *query_responder(BIO *bio, const char *path, const char *host, OCSP_REQUEST *request) {
  int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
  if (fd < 0) {
    LOG(LOG_ERROR, "Can't get connection fd");
    return nullptr;
  }
  // The whole exchange, however the responder spaces its bytes, ends within
  // one wait; it may not send more than OCSP_RESPONSE_LIMIT bytes.
  steady::time_point deadline = steady::now() + std::chrono::milliseconds(g_wait_ms.load(std::memory_order_relaxed));
  size_t bytes_left = OCSP_RESPONSE_LIMIT;
  BIO_set_callback_arg(bio, static_cast<char *>(static_cast<void *>(&bytes_left)));
  BIO_set_callback_ex(bio, count_response_bytes);
  if (wait_socket(fd, POLLOUT, deadline) == 0) {
    LOG(LOG_ERROR, "Timeout on connect");
    return nullptr;
  }
  OSSL_HTTP_REQ_CTX *context = OSSL_HTTP_REQ_CTX_new(bio, bio, 0);
  if (context == nullptr) {
    LOG(LOG_ERROR, "Unable to create context for send request");
    return nullptr;
  }
  if (!add_headers(context, path, host, request)) {
    OSSL_HTTP_REQ_CTX_free(context);
    return nullptr;
  }
  ASN1_VALUE *value = nullptr;
  for (;;) {
    int rc = OSSL_HTTP_REQ_CTX_nbio_d2i(context, &value, ASN1_ITEM_rptr(OCSP_RESPONSE));
    if (rc == 1) break;
    if (rc == 0) {
      LOG(LOG_ERROR, "Some error happened - OCSP_sendreq_nbio returned 0");
      break;
    }
    short events;
    if (BIO_should_read(bio)) {
      events = POLLIN | POLLPRI;
    } else if (BIO_should_write(bio)) {
      events = POLLOUT;
    } else {
      LOG(LOG_ERROR, "Unexpected retry condition");
      break;
    }
    int ready = wait_socket(fd, events, deadline);
    if (ready == 0) {
      LOG(LOG_ERROR, "Timeout on request fd %d", fd);
      break;
    }
    if (ready < 0) {
      char text[ERROR_TEXT_SIZE];
      LOG(LOG_ERROR, "Select error - %s", socket_error_text(text, nullptr));
      break;
    }
  }
  OSSL_HTTP_REQ_CTX_free(context);
  BIO_set_callback_ex(bio, nullptr);
  ERR_clear_error();
  return reinterpret_cast<OCSP_RESPONSE *>(value);
}

OCSP_RESPONSE *send_request(OCSP_REQUEST *request, const char *host, const char *path, const char *port, int fd,
                            int *local_error) {
  BIO *bio = BIO_new(BIO_s_socket());
  int socket_fd = -1;
  uint16_t local_port = 0;
  int rc = bio == nullptr ? DO_CONNECT_LOCAL_FAILURE : do_connect(fd, host, port, &socket_fd, &local_port, OCSP_CONNECT_SECONDS);
  if (rc != 0) {
    if (rc == DO_CONNECT_LOCAL_FAILURE && local_error != nullptr) *local_error = bio == nullptr ? ENOMEM : errno;
    LOG(LOG_ERROR, "Unable to connect to %s", host);
    if (socket_fd >= 0) close(socket_fd);
    BIO_free_all(bio);
    return nullptr;
  }
  BIO_set_fd(bio, socket_fd, BIO_CLOSE);  // freeing the BIO closes the socket
  OCSP_RESPONSE *response = query_responder(bio, path, host, request);
  if (response == nullptr) LOG(LOG_ERROR, "Error querying OCSP responder");
  BIO_free_all(bio);
  return response;
}

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

namespace {

// The parts of a URL that go into the request line and the Host header: a
// space, a control byte or DEL would let a certificate write its own request.
bool fit_for_the_wire(const char *text) {
  for (const char *p = text; p != nullptr && *p != '\0'; p++)
    if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return false;
  return text != nullptr;
}

// One responder URL. Returns true when a response came back, with *verdict
// set; a failure of this host rather than of the responder sets *local_error.
bool query_url(int fd, OCSP_REQUEST *request, const char *url, int index, int *verdict, int *local_error) {
  char *host = nullptr, *port = nullptr, *path = nullptr;
  int use_ssl = 0;
  if (OSSL_HTTP_parse_url(url, &use_ssl, nullptr, &host, &port, nullptr, &path, nullptr, nullptr) != 1 || use_ssl ||
      !fit_for_the_wire(host) || !fit_for_the_wire(port) || !fit_for_the_wire(path)) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "client fd %d parse url failed %s", fd, url);
    OPENSSL_free(host);
    OPENSSL_free(port);
    OPENSSL_free(path);
    ERR_clear_error();
    return false;
  }
  LOG_AT("check_cert_OCSP", LOG_DEBUG, "querying url [%s] host [%s] port [%s] path [%s] use_ssl %d", url, host, port,
         path, 0);
  OCSP_RESPONSE *response = send_request(request, host, path, port, fd, local_error);
  OPENSSL_free(host);
  OPENSSL_free(port);
  OPENSSL_free(path);
  if (response == nullptr) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "send request failed");
    return false;
  }
  int status = OCSP_response_status(response);
  if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "Response status %d - %s", status,
           OCSP_response_status_str(static_cast<long>(status)));
  } else {
    *verdict = parse_response(response);
    LOG_AT("check_cert_OCSP", LOG_DEBUG, "%d - is_revoked %d", index, *verdict);
  }
  OCSP_RESPONSE_free(response);
  return true;
}

}  // namespace

int check_cert_OCSP(int fd, X509 *cert, X509 *issuer) {
  OCSP_REQUEST *request = prepare_request(cert, issuer);
  if (request == nullptr) {
    LOG(LOG_ERROR, "prepare_request failed");
    return OCSP_NO_VERDICT;
  }
  STACK_OF(OPENSSL_STRING) *urls = X509_get1_ocsp(cert);
  int count = urls != nullptr ? sk_OPENSSL_STRING_num(urls) : 0;
  if (count <= 0) {
    X509_email_free(urls);
    OCSP_REQUEST_free(request);
    LOG(LOG_DEBUG, "client fd %d is_revoked %d", fd, OCSP_NO_RESPONDER);
    return OCSP_NO_RESPONDER;
  }
  int verdict = OCSP_NO_VERDICT;
  bool got_response = false;
  int local_error = 0;
  for (int i = 0; i < count && verdict == OCSP_NO_VERDICT && local_error == 0; i++) {
    const char *url = sk_OPENSSL_STRING_value(urls, i);
    LOG(LOG_DEBUG, "%d of %d - querying url %s", i, count, url);
    if (query_url(fd, request, url, i, &verdict, &local_error)) got_response = true;
  }
  X509_email_free(urls);
  OCSP_REQUEST_free(request);
  if (!got_response) verdict = local_error != 0 ? OCSP_LOCAL_FAILURE : OCSP_NO_RESPONDER;
  errno = local_error;
  LOG(LOG_DEBUG, "client fd %d is_revoked %d", fd, verdict);
  return verdict;
}

// ---- verdict cache ----

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
      // With no user, no one holds the entry's lock: its fields may be read here.
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

// Up to three passes over the chain; the leaf is the certificate under check
// and every other certificate is tried as its issuer. The last verdict decides.
int walk_chain(int fd, X509 *peer, STACK_OF(X509) *chain) {
  int n = sk_X509_num(chain);
  int verdict = OCSP_NO_VERDICT;
  for (int pass = 0; pass < OCSP_CHAIN_PASSES; pass++) {
    for (int i = 0; i < n; i++) {
      LOG_AT("check_server_certificate", LOG_DEBUG, "Try to check %d of %d certificate fd %d", i, n, fd);
      X509 *candidate = sk_X509_value(chain, i);
      if (candidate == nullptr) {
        LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get issuer X509 fd %d", fd);
        return verdict;
      }
      if (X509_cmp(candidate, peer) == 0) {
        LOG_AT("check_server_certificate", LOG_DEBUG, "found server_cert in chain -- skipping");
        continue;
      }
      LOG_AT("check_server_certificate", LOG_DEBUG, "verify server certificate fd %d", fd);
      verdict = check_cert_OCSP(fd, peer, candidate);
      if (verdict == OCSP_GOOD || verdict == OCSP_NO_RESPONDER || verdict == OCSP_LOCAL_FAILURE) return verdict;
    }
  }
  return verdict;
}

int check_locked(ocsp_status *entry, const std::string &key, SSL *ssl, int fd) {
  if (now_seconds() < entry->next_check) {
    if (entry->is_valid) {
      LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d in cache is valid",
             key.c_str(), fd);
      return 0;
    }
    LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d in cache is invalid",
           key.c_str(), fd);
    return -1;
  }
  entry->is_valid = false;
  LOG_AT("check_server_certificate", LOG_DEBUG, "The certificate for server %s fd %d, needs to be validated",
         key.c_str(), fd);
  X509 *peer = SSL_get1_peer_certificate(ssl);
  if (peer == nullptr) {
    LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get server certificate fd %d", fd);
    return -1;
  }
  STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl);
  if (chain == nullptr) {
    LOG_AT("check_server_certificate", LOG_ERROR, "Unable to get certificate chain from server fd %d", fd);
    X509_free(peer);
    return -1;
  }
  int verdict = walk_chain(fd, peer, chain);
  int local_error = errno;
  int64_t now = now_seconds();
  X509_free(peer);
  if (verdict == OCSP_LOCAL_FAILURE) {
    // Nothing was learnt about the server: only this task is refused, and the
    // entry stays stale so that the next request checks again.
    char text[ERROR_TEXT_SIZE];
    LOG_AT("check_server_certificate", LOG_ERROR,
           "unable to check the certificate for server %s on this host - %s, not saved in cache", key.c_str(),
           errno_text(local_error, text));
    LOG_AT("check_server_certificate", LOG_ERROR, "Server certificate verification is invalid fd %d", fd);
    return -1;
  }
  if (verdict == OCSP_GOOD) {
    LOG_AT("check_server_certificate", LOG_INFO, "certificate is verified for server %s, save it in cache",
           key.c_str());
    entry->is_valid = true;
    entry->next_check = now + OCSP_PERIOD_CHECKED;
    return 0;
  }
  if (verdict == OCSP_NO_RESPONDER) {
    LOG_AT("check_server_certificate", LOG_ERROR, "unable to connect to ocsp for server %s, retry in 15 minutes",
           key.c_str());
    entry->next_check = now + OCSP_PERIOD_NO_RESPONDER;
  } else {
    LOG_AT("check_server_certificate", LOG_INFO, "certificate is not verified for server %s, save it in cache",
           key.c_str());
    entry->next_check = now + OCSP_PERIOD_CHECKED;
  }
  entry->is_valid = false;
  LOG_AT("check_server_certificate", LOG_ERROR, "Server certificate verification is invalid fd %d", fd);
  return -1;
}

}  // namespace

int check_server_certificate(const std::string &server_addr, SSL *ssl, int fd) {
  const std::string &key = server_addr;  // the address exactly as the client sent it
  ocsp_status *entry = use_entry(key);
  if (entry == nullptr) return -1;
  int verdict;
  {
    // The entry lock is held through the whole check: tasks for the same
    // server wait for one verdict instead of asking the responder again.
    std::lock_guard<std::mutex> guard(entry->mutex);
    verdict = check_locked(entry, key, ssl, fd);
  }
  release_entry(entry);
  return verdict;
}

void ocsp_set_clock_for_test(ocsp_clock_fn clock) { g_clock.store(clock != nullptr ? clock : system_seconds); }

void ocsp_set_wait_for_test(int wait_ms) { g_wait_ms.store(wait_ms > 0 ? wait_ms : OCSP_WAIT_MS); }

void clear_ocsp_cache() {
  for (auto &entry : ocsp_cache) delete entry.second;
  ocsp_cache.clear();
}
