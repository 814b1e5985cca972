// The TLS library's set-up, and the contexts kept for the credentials
// requests name: their files opened and checked, their sessions kept. A
// connection's own TLS object and its socket I/O are the channel's.
#include "tls_setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <new>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

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

// ---- credential files ----
//
// Every file a request names is opened once, without blocking, checked to be
// a regular file of at most REQUEST_FILE_LIMIT bytes, and loaded from that
// descriptor, so what was checked is what is loaded: a FIFO, a device, a
// directory or an endless file is refused at once instead of stalling or
// exhausting a worker. The library's path-based loaders are never used.

namespace {

struct file_stamp {
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec modified;
  struct timespec changed;
  bool operator==(const file_stamp &other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// One opened request file. `why` says what is wrong with it, empty when it may be loaded.
struct request_file {
  int fd = -1;
  file_stamp stamp{};
  std::string why;
  request_file() = default;
  request_file(const request_file &) = delete;
  request_file &operator=(const request_file &) = delete;
  ~request_file() {
    if (fd >= 0) close(fd);
  }
  bool usable() const { return why.empty(); }
};

void open_request_file(const std::string &path, request_file &file) {
  file.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st;
  char text[ERROR_TEXT_SIZE];
  if (file.fd < 0 || fstat(file.fd, &st) != 0) {
    file.why = errno_text(errno, text);
  } else if (!S_ISREG(st.st_mode)) {
    file.why = "not a regular file";
  } else if (st.st_size > REQUEST_FILE_LIMIT) {
    file.why = "larger than " + std::to_string(REQUEST_FILE_LIMIT) + " bytes";
  } else {
    file.stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
}

// The file's bytes, read from its descriptor; empty with `why` set when they cannot be read.
std::string read_request_file(request_file &file) {
  std::string content;
  char chunk[16384];
  for (;;) {
    ssize_t n = pread(file.fd, chunk, sizeof chunk, static_cast<off_t>(content.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      char text[ERROR_TEXT_SIZE];
      file.why = errno_text(errno, text);
      return {};
    }
    if (n == 0) return content;
    if (content.size() + static_cast<size_t>(n) > static_cast<size_t>(REQUEST_FILE_LIMIT)) {
      file.why = "larger than " + std::to_string(REQUEST_FILE_LIMIT) + " bytes";  // it grew
      return {};
    }
    content.append(chunk, static_cast<size_t>(n));
  }
}

// What the passphrase callback reads from: the opened passphrase file, or none.
struct passphrase_source {
  int fd = -1;
};

// The text a failed load is reported with: the library's error, or ours.
std::string load_error(const char *fallback) {
  return ERR_peek_error() != 0 ? first_error_text() : std::string(fallback);
}

BIO *memory_bio(const std::string &content) {
  return BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
}

// The certificate chain, as the library's chain-file loader takes it: the
// first certificate is ours, the rest its chain. "" on success.
std::string use_certificate_chain(SSL_CTX *ctx, const std::string &pem, passphrase_source *pass) {
  BIO *bio = memory_bio(pem);
  X509 *cert = bio != nullptr ? PEM_read_bio_X509_AUX(bio, nullptr, passphrase_callback, pass) : nullptr;
  bool good = cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_clear_chain_certs(ctx) == 1;
  X509_free(cert);
  while (good) {
    X509 *next = PEM_read_bio_X509(bio, nullptr, passphrase_callback, pass);
    if (next == nullptr) break;
    if (SSL_CTX_add0_chain_cert(ctx, next) != 1) {
      X509_free(next);
      good = false;
    }
  }
  unsigned long last = ERR_peek_last_error();
  if (good && ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) ERR_clear_error();
  BIO_free(bio);
  if (good && ERR_peek_error() == 0) return {};
  return load_error("no certificate found");
}

std::string use_private_key(SSL_CTX *ctx, const std::string &pem, passphrase_source *pass) {
  BIO *bio = memory_bio(pem);
  EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, passphrase_callback, pass) : nullptr;
  bool good = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  BIO_free(bio);
  return good ? std::string() : load_error("no private key found");
}

// A CA bundle must hold at least one certificate or CRL that parses. Its
// certificates become the context's trust anchors when `anchors` is given
// (its requests verify the server); otherwise nothing of it is kept: nothing
// verifies against it, and a bundle of CRLs would stay in memory with every
// kept context.
constexpr size_t LARGE_BUNDLE_BYTES = 1 << 20;

std::string use_ca_bundle(const std::string &pem, X509_STORE *anchors) {
  BIO *bio = memory_bio(pem);
  passphrase_source none;
  STACK_OF(X509_INFO) *infos = bio != nullptr ? PEM_X509_INFO_read_bio(bio, nullptr, passphrase_callback, &none) : nullptr;
  BIO_free(bio);
  if (infos == nullptr) return load_error("unreadable PEM file");
  int count = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); i++) {
    X509_INFO *info = sk_X509_INFO_value(infos, i);
    count += (info->x509 != nullptr) + (info->crl != nullptr);
    if (anchors != nullptr && info->x509 != nullptr && X509_STORE_add_cert(anchors, info->x509) != 1) {
      sk_X509_INFO_pop_free(infos, X509_INFO_free);
      return load_error("unable to keep a certificate");
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return count > 0 ? std::string() : std::string("no certificate or CRL found");
}

}  // namespace

int passphrase_callback(char *buffer, int size, int, void *userdata) noexcept {
  const auto *source = static_cast<const passphrase_source *>(userdata);
  if (buffer == nullptr || size <= 0) return 0;
  memset(buffer, 0, static_cast<size_t>(size));
  if (source == nullptr || source->fd < 0) return 0;  // no passphrase file: never ask anyone else
  // The file's bytes are the passphrase, a final line break included; only
  // what fits in the library's buffer is read.
  size_t wanted = static_cast<size_t>(size) - 1, got = 0;
  while (got < wanted) {
    ssize_t n = pread(source->fd, buffer + got, wanted - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(strnlen(buffer, got));
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

// ---- context cache ----
//
// Loading a CA bundle or decrypting a key costs far more than a handshake, so
// a context that loaded cleanly is kept and shared by reference. It is keyed
// by the files the request names and by the identity of what was opened for
// each (device, inode, size, change and modification times): a file that
// changes is read again by the next connection. Failures are never kept, so a
// failing file gives the same error lines every time.

namespace {

struct context_entry {
  std::vector<file_stamp> stamps;
  SSL_CTX *ctx;
};

constexpr size_t CONTEXT_CACHE_LIMIT = 64;
std::mutex g_context_mutex;
std::unordered_map<std::string, context_entry> g_contexts;

SSL_CTX *cached_context(const std::string &key, const std::vector<file_stamp> &stamps) {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  auto found = g_contexts.find(key);
  if (found == g_contexts.end() || !(found->second.stamps == stamps)) return nullptr;
  SSL_CTX_up_ref(found->second.ctx);
  return found->second.ctx;
}

void remember_context(const std::string &key, std::vector<file_stamp> stamps, SSL_CTX *ctx) {
  SSL_CTX_up_ref(ctx);
  std::lock_guard<std::mutex> guard(g_context_mutex);
  auto found = g_contexts.find(key);
  if (found != g_contexts.end()) {
    SSL_CTX_free(found->second.ctx);
    g_contexts.erase(found);
  } else if (g_contexts.size() >= CONTEXT_CACHE_LIMIT) {
    SSL_CTX_free(g_contexts.begin()->second.ctx);
    g_contexts.erase(g_contexts.begin());
  }
  g_contexts.emplace(key, context_entry{std::move(stamps), ctx});
}

// The library checks the server's chain only for a connection that asks
// for it ("VerifyServer"): for the others nothing reads that result (the
// revocation check alone judges their server), and skipping it saves a
// signature check per connection.
int check_chain_when_asked(X509_STORE_CTX *store, void *) noexcept {
  auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl == nullptr || (SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) == 0) return 1;
  return X509_verify_cert(store);
}

// The files of one request, in the order they are loaded. The CA file is
// loaded without a client certificate, and with one when the request
// verifies the server; a request that verifies the server and names no CA
// file takes the system's trust store (the library's default CA file).
struct credential_files {
  bool client_auth = false;
  bool anchors = false;  // the CA file's certificates are kept as trust anchors
  bool has_ca = false;
  std::string ca_path;
  request_file ca, cert, key, pass;
  explicit credential_files(const connection_info &request)
      : client_auth(!request.cert_file.empty() && !request.key_file.empty()),
        anchors(request.verify_server),
        has_ca(!client_auth || request.verify_server),
        ca_path(request.verify_server && request.ca_cert_pem_file.empty() ? X509_get_default_cert_file()
                                                                          : request.ca_cert_pem_file) {}
};

// One file of a request, with the loading step its failure is reported as.
struct role {
  const std::string *path;
  request_file *file;
  const char *loader;
};

std::vector<role> roles_of(const connection_info &request, credential_files &files) {
  std::vector<role> roles;
  if (files.has_ca) roles.push_back({&files.ca_path, &files.ca, "SSL_CTX_load_verify_locations"});
  if (files.client_auth) {
    roles.push_back({&request.cert_file, &files.cert, "SSL_CTX_use_certificate_chain_file"});
    roles.push_back({&request.key_file, &files.key, "SSL_CTX_use_PrivateKey_file"});
    if (!request.pass_phrase_file.empty())
      roles.push_back({&request.pass_phrase_file, &files.pass, "SSL_CTX_use_PrivateKey_file"});
  }
  return roles;
}

// A fresh context from the opened files; null after logging why.
SSL_CTX *build_context(const connection_info &request, int sfd, credential_files &files) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "Unable to create SSL CTX for server fd %d", sfd);
    return nullptr;
  }
  // TLS 1.2 only, with the library's interoperability work-arounds. No
  // verification mode: a connection whose request asks for the server's
  // identity sets its own (ask_server_identity).
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  SSL_CTX_set_cert_verify_callback(ctx, check_chain_when_asked, nullptr);
  // Sessions are kept by the context's own store (kept sessions, above), not the library's.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, hold_new_session);
  auto *store = new (std::nothrow) session_store;
  if (store != nullptr && SSL_CTX_set_ex_data(ctx, session_store_index(), store) != 1) delete store;
  ERR_clear_error();
  std::string why;
  const std::string *named = nullptr;
  const char *loader = nullptr;
  if (files.has_ca) {
    std::string content = read_request_file(files.ca);
    why = files.ca.usable() ? use_ca_bundle(content, files.anchors ? SSL_CTX_get_cert_store(ctx) : nullptr)
                            : files.ca.why;
    // Parsing a large bundle (a long CRL, thousands of certificates) takes
    // many times its size for a moment: give that memory back at once.
    if (content.size() > LARGE_BUNDLE_BYTES) malloc_trim(0);
    named = &files.ca_path;
    loader = "SSL_CTX_load_verify_locations";
  }
  if (why.empty() && files.client_auth) {
    passphrase_source pass{files.pass.fd};
    std::string content = read_request_file(files.cert);
    why = files.cert.usable() ? use_certificate_chain(ctx, content, &pass) : files.cert.why;
    named = &request.cert_file;
    loader = "SSL_CTX_use_certificate_chain_file";
    if (why.empty()) {
      content = read_request_file(files.key);
      why = files.key.usable() ? use_private_key(ctx, content, &pass) : files.key.why;
      named = &request.key_file;
      loader = "SSL_CTX_use_PrivateKey_file";
    }
  }
  if (!why.empty()) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "%s failed server fd %d - %s: %s", loader, sfd, named->c_str(), why.c_str());
    SSL_CTX_free(ctx);
    return nullptr;
  }
  ERR_clear_error();
  return ctx;
}

// Opens the request's files; false after logging the first that cannot be used.
bool open_credential_files(const connection_info &request, int sfd, credential_files &files,
                           std::vector<file_stamp> &stamps) {
  for (const role &r : roles_of(request, files)) {
    open_request_file(*r.path, *r.file);
    if (!r.file->usable()) {
      // A passphrase file that cannot be used fails the key, as a wrong passphrase would.
      bool pass = r.file == &files.pass;
      std::string why = pass ? "passphrase file " + request.pass_phrase_file + ": " + r.file->why : r.file->why;
      LOG_AT("init_channel_ssl", LOG_ERROR, "%s failed server fd %d - %s: %s", r.loader, sfd,
             (pass ? request.key_file : *r.path).c_str(), why.c_str());
      return false;
    }
    stamps.push_back(r.file->stamp);
  }
  return true;
}

}  // namespace

void clear_context_cache() {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  for (auto &entry : g_contexts) SSL_CTX_free(entry.second.ctx);
  g_contexts.clear();
}

SSL_CTX *kept_context(const connection_info &request, int sfd) {
  credential_files files(request);
  if (!files.client_auth)
    LOG(LOG_DEBUG, "Use certificate file %s to communicate with server fd %d", files.ca_path.c_str(), sfd);
  // A context with trust anchors is kept apart from the others, and with it
  // the sessions it keeps: a session made without verifying the server (or
  // against other anchors) is never offered to a request that verifies it.
  std::string key = files.client_auth
                        ? "client\n" + request.cert_file + "\n" + request.key_file + "\n" + request.pass_phrase_file
                        : "ca";
  if (files.has_ca) key += "\n" + files.ca_path;
  if (files.anchors) key = "verify\n" + key;
  // A kept context whose files are still the ones it was loaded from is used
  // without opening them: their identity is all that is read. Anything else
  // is opened, checked and loaded from what was opened.
  std::vector<role> roles = roles_of(request, files);
  std::vector<file_stamp> stamps;
  for (const role &r : roles) {
    struct stat st;
    if (stat(r.path->c_str(), &st) != 0) break;
    stamps.push_back({st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim});
  }
  SSL_CTX *ctx = stamps.size() == roles.size() ? cached_context(key, stamps) : nullptr;
  if (ctx == nullptr) {
    stamps.clear();
    if (!open_credential_files(request, sfd, files, stamps)) return nullptr;
    ctx = build_context(request, sfd, files);
    if (ctx == nullptr) return nullptr;
    remember_context(key, std::move(stamps), ctx);
  }
  return ctx;
}
