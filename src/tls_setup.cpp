// The TLS library's set-up, the one reading of a TLS call's result, and the
// sessions a context keeps for the next connection to the same server. The
// contexts themselves are built and kept by the credentials; a connection's
// own TLS object and its socket I/O are the channel's.
#include "tls_setup.h"

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <string>
#include <unordered_map>

#include "log.h"

// ---- library set-up ----

int tls_library_init() {
  uint64_t options = OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
  return OPENSSL_init_ssl(options, nullptr) == 1 ? 0 : -1;
}

struct openssl_setup::state {
  OSSL_PROVIDER *fips;
  OSSL_PROVIDER *base;
  bool fips_enabled;
};

namespace {
bool g_fail_next_setup_allocation = false;
}

void openssl_setup_fail_next_allocation_for_test() { g_fail_next_setup_allocation = true; }

openssl_setup::openssl_setup() {
  state_ = g_fail_next_setup_allocation ? nullptr
                                        : static_cast<state *>(OPENSSL_zalloc(sizeof(state)));
  if (state_ == nullptr) {
    LOG_AT("openssl_setup::openssl_setup", LOG_ERROR, "Unable to allocate memory for pthread_mutex - OOM");
    exit(1);
  }
}

openssl_setup::~openssl_setup() {
  if (state_->fips_enabled) EVP_default_properties_enable_fips(nullptr, 0);
  if (state_->base != nullptr) OSSL_PROVIDER_unload(state_->base);
  if (state_->fips != nullptr) OSSL_PROVIDER_unload(state_->fips);
  OPENSSL_free(state_);
  ERR_clear_error();
}

void openssl_setup::request_fips_mode() {
  // Requiring fips=yes without a FIPS provider would make every TLS context
  // fail, so the property is switched on only once the provider has loaded.
  // try_load keeps the default provider as the fallback either way.
  state_->fips = OSSL_PROVIDER_try_load(nullptr, "fips", 1);
  if (state_->fips != nullptr) {
    state_->base = OSSL_PROVIDER_try_load(nullptr, "base", 1);
    state_->fips_enabled = EVP_default_properties_enable_fips(nullptr, 1) == 1;
  }
  ERR_clear_error();
}

bool openssl_setup::fips_enabled() const { return state_->fips_enabled; }

std::string first_error_text() {
  char text[ERROR_TEXT_SIZE];
  ERR_error_string_n(ERR_peek_error(), text, sizeof text);
  return text;
}

tls_outcome classify_tls_result(const SSL *ssl, int returned) {
  if (returned > 0) return {tls_result::done, SSL_ERROR_NONE};
  int code = SSL_get_error(ssl, returned);
  switch (code) {
    case SSL_ERROR_WANT_READ: return {tls_result::wants_read, code};
    case SSL_ERROR_WANT_WRITE: return {tls_result::wants_write, code};
    case SSL_ERROR_ZERO_RETURN: return {tls_result::closed, code};
    case SSL_ERROR_SSL: return {tls_result::failed, code};
    case SSL_ERROR_SYSCALL: return {tls_result::failed_io, code};
    default: return {tls_result::other, code};
  }
}

// ---- kept sessions ----
//
// A server that offers resumption (a session ticket, or a session id it
// remembers) saves most of the next handshake. Each kept context holds the
// last good session per server: the address connected to, the ServerAddr
// text and the server name sent. So a session is offered again only with the
// same credentials and trust anchors (they are the context, and a context
// that verifies servers is never one that does not), to the same server,
// under the same name. It is kept only once its connection has passed the revocation check,
// and dropped when it has expired or the server declined it.

namespace {

constexpr size_t SESSIONS_PER_CONTEXT = 64;

struct session_store {
  std::mutex lock;
  std::unordered_map<std::string, SSL_SESSION *> sessions;
  ~session_store() {
    for (auto &entry : sessions) SSL_SESSION_free(entry.second);
  }
};

// The library frees a context's store with the context, and a connection's
// session that was never kept with the connection.
void free_session_store(void *, void *store, CRYPTO_EX_DATA *, int, long, void *) noexcept {
  delete static_cast<session_store *>(store);
}

void free_held_session(void *, void *session, CRYPTO_EX_DATA *, int, long, void *) noexcept {
  SSL_SESSION_free(static_cast<SSL_SESSION *>(session));
}

int session_store_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, free_session_store);
  return index;
}

int held_session_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, free_held_session);
  return index;
}

session_store *store_of(SSL *ssl) {
  return static_cast<session_store *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), session_store_index()));
}

// The library hands over each new session of a connection; it waits with
// the connection until the connection has passed its check.
int hold_new_session(SSL *ssl, SSL_SESSION *session) noexcept {
  SSL_SESSION *earlier = static_cast<SSL_SESSION *>(SSL_get_ex_data(ssl, held_session_index()));
  if (earlier != nullptr) SSL_SESSION_free(earlier);
  SSL_set_ex_data(ssl, held_session_index(), session);
  return 1;  // the reference is ours now
}

bool usable(SSL_SESSION *session) {
  return SSL_SESSION_is_resumable(session) == 1 &&
         SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) > static_cast<long>(time(nullptr));
}

}  // namespace

void prepare_session_keeping(SSL_CTX *ctx) {
  // Sessions are kept by the context's own store, not the library's.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, hold_new_session);
  auto *store = new (std::nothrow) session_store;
  if (store != nullptr && SSL_CTX_set_ex_data(ctx, session_store_index(), store) != 1) delete store;
}

void offer_session(SSL *ssl, const std::string &key) {
  session_store *store = store_of(ssl);
  if (store == nullptr) return;
  std::lock_guard<std::mutex> guard(store->lock);
  auto found = store->sessions.find(key);
  if (found == store->sessions.end()) return;
  if (usable(found->second)) {
    SSL_set_session(ssl, found->second);
    return;
  }
  SSL_SESSION_free(found->second);
  store->sessions.erase(found);
}

bool keep_session(SSL *ssl, const std::string &key, bool checked) {
  session_store *store = store_of(ssl);
  bool resumed = SSL_session_reused(ssl) == 1;
  auto *fresh = static_cast<SSL_SESSION *>(SSL_get_ex_data(ssl, held_session_index()));
  SSL_set_ex_data(ssl, held_session_index(), nullptr);
  if (store == nullptr) {
    if (fresh != nullptr) SSL_SESSION_free(fresh);
    return resumed;
  }
  std::lock_guard<std::mutex> guard(store->lock);
  auto found = store->sessions.find(key);
  // A failed check, or a declined offer, leaves nothing behind; a fresh session replaces the old.
  if (found != store->sessions.end() && (!checked || !resumed || fresh != nullptr)) {
    SSL_SESSION_free(found->second);
    store->sessions.erase(found);
  }
  if (fresh != nullptr && checked) {
    if (store->sessions.size() >= SESSIONS_PER_CONTEXT) {
      SSL_SESSION_free(store->sessions.begin()->second);
      store->sessions.erase(store->sessions.begin());
    }
    store->sessions.emplace(key, fresh);
  } else if (fresh != nullptr) {
    SSL_SESSION_free(fresh);
  }
  return resumed;
}
