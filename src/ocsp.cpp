// The revocation check of a server whose handshake has just finished, and
// the per-server verdict cache in front of it: a verdict kept from an earlier
// check, or the chain walked and each candidate issuer asked about through
// the OCSP client, in steps that never wait.
#include "ocsp.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <unordered_map>

#include "identity.h"
#include "log.h"

namespace {

int64_t system_seconds() { return static_cast<int64_t>(time(nullptr)); }

std::atomic<ocsp_clock_fn> g_clock{system_seconds};

using steady = std::chrono::steady_clock;

enum class stage { waiting_for_verdict, chain, candidate, responders };

}  // namespace

struct server_check {
  std::string key;  // the ServerAddr text
  SSL *ssl = nullptr;
  int fd = -1;  // the server's socket, named in log lines
  ocsp_status *entry = nullptr;
  bool checking = false;  // this check holds the entry's `checking`
  stage at = stage::waiting_for_verdict;
  steady::time_point deadline;  // of the next look at another task's verdict
  // The chain walk: up to three passes, the leaf against every other certificate.
  X509 *peer = nullptr;
  STACK_OF(X509) *chain = nullptr;
  int pass = 0, index = 0, verdict = OCSP_NO_VERDICT;
  cert_query query;  // the candidate issuer in hand
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


// ---- the verdict ----

check_progress store_verdict(server_check *c, int verdict) {
  int local_error = c->query.local_error;
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
        c->query.cert = c->peer;
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
        if (!begin_cert_query(c->query, candidate)) return check_progress::pending;
        break;
      }
      case stage::responders:
        if (!continue_cert_query(c->query)) return check_progress::pending;
        c->verdict = c->query.verdict;
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
                                        void *waiter, server_check **check) {
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
  c->query.log_fd = fd;
  c->query.epoll_fd = epoll_fd;
  c->query.waiter = waiter;
  if (verifies_server(ssl)) {
    c->query.verify_for = ssl;
    c->query.server = server_addr;
  }
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

int server_check_socket(const server_check *check) { return check->query.watched; }

steady::time_point server_check_deadline(const server_check *check) {
  return check->at == stage::waiting_for_verdict ? check->deadline : cert_query_deadline(check->query);
}

void end_server_check(server_check *check) {
  if (check == nullptr) return;
  end_cert_query(check->query);
  X509_free(check->peer);
  if (check->checking) give_up(check);  // no verdict: the next task for this server checks again
  release_entry(check->entry);
  delete check;
}

void ocsp_set_clock_for_test(ocsp_clock_fn clock) { g_clock.store(clock != nullptr ? clock : system_seconds); }

void clear_ocsp_cache() {
  for (auto &entry : ocsp_cache) delete entry.second;
  ocsp_cache.clear();
}
