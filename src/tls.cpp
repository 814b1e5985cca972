#include "tls.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine.h"
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

// ---- relay buffers ----
//
// A connection holds buffer memory only while it has bytes in flight: a
// buffer is taken from the worker's pool just before the receive that fills
// it and goes back at the end of the pump step that empties it. The pool is
// a LIFO list (the block freed last, still warm, is used first) of at most
// BUFFER_POOL_BLOCKS blocks per thread; an idle worker returns all but
// BUFFER_POOL_WARM to the system. Sanitizer builds bypass the pool, so that every block is an
// allocation of its own that the sanitizer can watch.

namespace {

constexpr size_t RELAY_BLOCK_SIZE = TLS_OUT_BUFFER_SIZE;  // one size for c2s, s2c and out
constexpr size_t BUFFER_POOL_BLOCKS = 8;
constexpr size_t BUFFER_POOL_WARM = 4;  // what an idle worker keeps: a short connection's worth

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t POOL_BLOCKS = 0;
void *new_block() { return malloc(RELAY_BLOCK_SIZE); }
void free_block(void *block) { free(block); }
#else
constexpr size_t POOL_BLOCKS = BUFFER_POOL_BLOCKS;
// Blocks come straight from the kernel: pages never written cost nothing.
void *new_block() {
  void *block = mmap(nullptr, RELAY_BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}
void free_block(void *block) { munmap(block, RELAY_BLOCK_SIZE); }
#endif

struct buffer_pool {
  void *blocks[BUFFER_POOL_BLOCKS + 1];
  size_t count = 0;
  void trim(size_t keep) {
    while (count > keep) free_block(blocks[--count]);
  }
  ~buffer_pool() { trim(0); }
};

thread_local buffer_pool t_pool;

}  // namespace

bool take_buffer(relay_buffer &b) {
  if (b.data != nullptr) return true;
  b.data = static_cast<unsigned char *>(t_pool.count > 0 ? t_pool.blocks[--t_pool.count] : new_block());
  return b.data != nullptr;
}

void give_back_buffer(relay_buffer &b, bool force) {
  if (b.data == nullptr || (b.length != 0 && !force)) return;
  if (t_pool.count < POOL_BLOCKS)
    t_pool.blocks[t_pool.count++] = b.data;
  else
    free_block(b.data);
  b.data = nullptr;
  b.length = b.sent = 0;
}

void trim_buffer_pool() { t_pool.trim(BUFFER_POOL_WARM); }

// ---- the TLS layer's socket I/O ----
//
// The TLS connection reaches the server's socket through a BIO of our own.
// Outside the data pump it behaves as the library's socket BIO does. Inside
// the pump it does two things that save system calls on a busy relay:
// - a server event makes at most one socket read (server_reads_left), and
//   every whole record it brought is decrypted in the same step;
// - the records one SSL_write makes gather in `out` and go to the
//   socket in one send when the write returns (gather_writes). Bytes the
//   socket did not take wait there; the pump keeps EPOLLOUT on the server's
//   socket until they are gone and counts them as bytes still owed to the
//   server.

namespace {

bool socket_retry_error(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS || error == EALREADY ||
         error == ENOTCONN || error == EPROTO;
}

// One send of what waits in `out`: 1 once it is empty, 0 when the socket
// is full, -1 on a socket error (errno tells which).
int flush_output(connection_channel *ch) {
  if (!tls_output_pending(ch)) return 1;
  ssize_t n;
  do {
    n = send(ch->sfd, owed_bytes(ch->out), owed(ch->out), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return socket_retry_error(errno) ? 0 : -1;
  return delivered(ch->out, static_cast<uint32_t>(n)) ? 1 : 0;
}

// Reads are served from `in`, which one receive fills with as much as the
// socket holds (up to TLS_READ_AHEAD_BYTES): the library asks for a record
// header and then its body, and gets them without a system call each. The
// library's own read-ahead stays off: with it, a renegotiation the server asks
// for may start inside a write, which then meets the server's data.
int socket_bio_read(BIO *bio, char *out, int size) {
  auto *ch = static_cast<connection_channel *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (out == nullptr || size <= 0) return 0;
  if (owed(ch->in) == 0) {
    if (ch->server_reads_left == 0) {  // this step has had its receive
      BIO_set_retry_read(bio);
      return -1;
    }
    if (ch->server_reads_left > 0) ch->server_reads_left--;
    if (!take_buffer(ch->in)) {
      errno = ENOMEM;
      return -1;
    }
    ssize_t n;
    do {
      n = recv(ch->sfd, fill_point(ch->in), room(ch->in), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      int error = errno;
      give_back_buffer(ch->in);
      errno = error;
      if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
      if (n < 0 && socket_retry_error(errno)) BIO_set_retry_read(bio);
      return static_cast<int>(n);
    }
    filled(ch->in, static_cast<uint32_t>(n));
  }
  uint32_t length = std::min(owed(ch->in), static_cast<uint32_t>(size));
  memcpy(out, owed_bytes(ch->in), length);
  if (delivered(ch->in, length)) give_back_buffer(ch->in);
  return static_cast<int>(length);
}

int socket_bio_write(BIO *bio, const char *in, int size) {
  auto *ch = static_cast<connection_channel *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (in == nullptr || size <= 0) return 0;
  auto length = static_cast<uint32_t>(size);
  if (ch->gather_writes || tls_output_pending(ch)) {
    // Gathered bytes go first, so nothing overtakes them.
    if (room(ch->out) < length || !ch->gather_writes) {
      if (flush_output(ch) < 0) return -1;
    }
    if (ch->gather_writes && room(ch->out) >= length) {
      if (!take_buffer(ch->out)) {
        LOG_AT("server_io", LOG_ERROR, "Unable to allocate a buffer for server fd %d - OOM", ch->sfd);
        return -1;
      }
      memcpy(fill_point(ch->out), in, length);
      filled(ch->out, length);
      return size;
    }
    if (tls_output_pending(ch)) {
      BIO_set_retry_write(bio);
      return -1;
    }
  }
  ssize_t n;
  do {
    n = send(ch->sfd, in, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && socket_retry_error(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

long socket_bio_ctrl(BIO *bio, int command, long, void *) {
  auto *ch = static_cast<connection_channel *>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH: {
      BIO_clear_retry_flags(bio);
      int rc = flush_output(ch);
      if (rc == 0) BIO_set_retry_write(bio);
      return rc;
    }
    case BIO_CTRL_EOF:
      return owed(ch->in) == 0 && BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    case BIO_CTRL_PENDING:
      return static_cast<long>(owed(ch->in));
    case BIO_CTRL_WPENDING:
      return static_cast<long>(owed(ch->out));
    default:
      return 0;
  }
}

int socket_bio_create(BIO *bio) {
  BIO_set_init(bio, 0);
  return 1;
}

BIO_METHOD *make_socket_bio_method() {
  BIO_METHOD *method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sealgate server socket");
  if (method == nullptr) return nullptr;
  BIO_meth_set_read(method, socket_bio_read);
  BIO_meth_set_write(method, socket_bio_write);
  BIO_meth_set_ctrl(method, socket_bio_ctrl);
  BIO_meth_set_create(method, socket_bio_create);
  return method;
}

// The method is made once and lives as long as the process.
BIO *new_socket_bio(connection_channel *channel) {
  static BIO_METHOD *method = make_socket_bio_method();
  if (method == nullptr) return nullptr;
  BIO *bio = BIO_new(method);
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, channel);
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace

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

std::string first_error_text() {
  char text[ERROR_TEXT_SIZE];
  ERR_error_string_n(ERR_peek_error(), text, sizeof text);
  return text;
}

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

// A CA bundle must hold at least one certificate or CRL that parses. What it
// holds is not kept: nothing verifies against it (only the revocation check
// judges the server), and a bundle of CRLs would otherwise stay in memory
// with every kept context.
constexpr size_t LARGE_BUNDLE_BYTES = 1 << 20;

std::string use_ca_bundle(const std::string &pem) {
  BIO *bio = memory_bio(pem);
  passphrase_source none;
  STACK_OF(X509_INFO) *infos = bio != nullptr ? PEM_X509_INFO_read_bio(bio, nullptr, passphrase_callback, &none) : nullptr;
  BIO_free(bio);
  if (infos == nullptr) return load_error("unreadable PEM file");
  int count = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); i++) {
    X509_INFO *info = sk_X509_INFO_value(infos, i);
    count += (info->x509 != nullptr) + (info->crl != nullptr);
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
// same credentials (they are the context), to the same server, under the same
// name. It is kept only once its connection has passed the revocation check,
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

// Frees a context's store with the context; the library calls it.
void free_session_store(void *, void *store, CRYPTO_EX_DATA *, int, long, void *) noexcept {
  delete static_cast<session_store *>(store);
}

int session_store_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, free_session_store);
  return index;
}

session_store *store_of(SSL_CTX *ctx) { return static_cast<session_store *>(SSL_CTX_get_ex_data(ctx, session_store_index())); }

// The library hands over each new session of a connection; it waits in the
// channel until the connection has passed its check.
int hold_new_session(SSL *ssl, SSL_SESSION *session) noexcept {
  auto *ch = static_cast<connection_channel *>(SSL_get_app_data(ssl));
  if (ch == nullptr) return 0;
  if (ch->new_session != nullptr) SSL_SESSION_free(ch->new_session);
  ch->new_session = session;
  return 1;  // the reference is ours now
}

bool usable(SSL_SESSION *session) {
  return SSL_SESSION_is_resumable(session) == 1 &&
         SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) > static_cast<long>(time(nullptr));
}

// Gives the connection the session kept for its server, if there is a usable one.
void offer_session(connection_channel *ch) {
  session_store *store = store_of(ch->ssl_ctx);
  if (store == nullptr) return;
  std::lock_guard<std::mutex> guard(store->lock);
  auto found = store->sessions.find(ch->session_key);
  if (found == store->sessions.end()) return;
  if (usable(found->second)) {
    SSL_set_session(ch->ssl, found->second);
    return;
  }
  SSL_SESSION_free(found->second);
  store->sessions.erase(found);
}

}  // namespace

bool keep_session(connection_channel *ch, bool checked) {
  session_store *store = store_of(ch->ssl_ctx);
  bool resumed = SSL_session_reused(ch->ssl) == 1;
  SSL_SESSION *fresh = std::exchange(ch->new_session, nullptr);
  if (store == nullptr) {
    if (fresh != nullptr) SSL_SESSION_free(fresh);
    return resumed;
  }
  std::lock_guard<std::mutex> guard(store->lock);
  auto found = store->sessions.find(ch->session_key);
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
    store->sessions.emplace(ch->session_key, fresh);
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

int accept_unread_chain(X509_STORE_CTX *, void *) { return 1; }

// The files of one request, in the order they are loaded, each with the line
// its failure is reported with.
struct credential_files {
  bool client_auth;
  request_file ca, cert, key, pass;
};

// A fresh context from the opened files; null after logging why.
SSL_CTX *build_context(connection_channel *channel, sealgate_task *task, credential_files &files) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "Unable to create SSL CTX for server fd %d", channel->sfd);
    return nullptr;
  }
  channel->ssl_ctx = ctx;  // until it is complete, the channel owns it, as it would any half-built context
  // TLS 1.2 only, with the library's interoperability work-arounds. No
  // verification mode: the server is judged only by the revocation check.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  // Without a verification mode the library would still build and check the
  // server's chain against the loaded CA certificates on every handshake, and
  // nothing ever reads that result: the server is judged by the revocation
  // check alone. Skipping the work saves a signature check per connection.
  SSL_CTX_set_cert_verify_callback(ctx, accept_unread_chain, nullptr);
  // Sessions are kept by the context's own store (kept sessions, above), not the library's.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, hold_new_session);
  auto *store = new (std::nothrow) session_store;
  if (store != nullptr && SSL_CTX_set_ex_data(ctx, session_store_index(), store) != 1) delete store;
  ERR_clear_error();
  if (!files.client_auth) {
    std::string content = read_request_file(files.ca);
    std::string why = files.ca.usable() ? use_ca_bundle(content) : files.ca.why;
    // Parsing a large bundle (a long CRL, thousands of certificates) takes
    // many times its size for a moment: give that memory back at once.
    if (content.size() > LARGE_BUNDLE_BYTES) malloc_trim(0);
    if (!why.empty()) {
      LOG_AT("init_channel_ssl", LOG_ERROR, "SSL_CTX_load_verify_locations failed server fd %d - %s: %s", channel->sfd,
             task->ca_cert_pem_file.c_str(), why.c_str());
      return nullptr;
    }
  } else {
    passphrase_source pass{files.pass.fd};
    std::string content = read_request_file(files.cert);
    std::string why = files.cert.usable() ? use_certificate_chain(ctx, content, &pass) : files.cert.why;
    if (!why.empty()) {
      LOG_AT("init_channel_ssl", LOG_ERROR, "SSL_CTX_use_certificate_chain_file failed server fd %d - %s: %s",
             channel->sfd, task->cert_file.c_str(), why.c_str());
      return nullptr;
    }
    content = read_request_file(files.key);
    why = files.key.usable() ? use_private_key(ctx, content, &pass) : files.key.why;
    if (!why.empty()) {
      LOG_AT("init_channel_ssl", LOG_ERROR, "SSL_CTX_use_PrivateKey_file failed server fd %d - %s: %s", channel->sfd,
             task->key_file.c_str(), why.c_str());
      return nullptr;
    }
  }
  ERR_clear_error();
  channel->ssl_ctx = nullptr;
  return ctx;
}

// Opens the request's files; false after logging the first that cannot be used.
bool open_credential_files(connection_channel *channel, sealgate_task *task, credential_files &files,
                           std::vector<file_stamp> &stamps) {
  struct role {
    const std::string *path;
    request_file *file;
    const char *loader;  // the loading step a failure is reported as
  };
  std::vector<role> roles;
  if (!files.client_auth) {
    roles.push_back({&task->ca_cert_pem_file, &files.ca, "SSL_CTX_load_verify_locations"});
  } else {
    roles.push_back({&task->cert_file, &files.cert, "SSL_CTX_use_certificate_chain_file"});
    roles.push_back({&task->key_file, &files.key, "SSL_CTX_use_PrivateKey_file"});
    if (!task->pass_phrase_file.empty())
      roles.push_back({&task->pass_phrase_file, &files.pass, "SSL_CTX_use_PrivateKey_file"});
  }
  for (const role &r : roles) {
    open_request_file(*r.path, *r.file);
    if (!r.file->usable()) {
      // A passphrase file that cannot be used fails the key, as a wrong passphrase would.
      bool pass = r.file == &files.pass;
      std::string why = pass ? "passphrase file " + task->pass_phrase_file + ": " + r.file->why : r.file->why;
      LOG_AT("init_channel_ssl", LOG_ERROR, "%s failed server fd %d - %s: %s", r.loader, channel->sfd,
             (pass ? task->key_file : *r.path).c_str(), why.c_str());
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

int init_channel_ssl(connection_channel *channel, sealgate_task *task) {
  credential_files files;
  files.client_auth = !task->cert_file.empty() && !task->key_file.empty();
  if (!files.client_auth)
    LOG(LOG_DEBUG, "Use certificate file %s to communicate with server fd %d", task->ca_cert_pem_file.c_str(),
        channel->sfd);
  std::string key = files.client_auth
                        ? "client\n" + task->cert_file + "\n" + task->key_file + "\n" + task->pass_phrase_file
                        : "ca\n" + task->ca_cert_pem_file;
  // A kept context whose files are still the ones it was loaded from is used
  // without opening them: their identity is all that is read. Anything else
  // is opened, checked and loaded from what was opened.
  std::vector<const std::string *> paths;
  if (files.client_auth)
    paths = {&task->cert_file, &task->key_file};
  else
    paths = {&task->ca_cert_pem_file};
  if (files.client_auth && !task->pass_phrase_file.empty()) paths.push_back(&task->pass_phrase_file);
  std::vector<file_stamp> stamps;
  for (const std::string *path : paths) {
    struct stat st;
    if (stat(path->c_str(), &st) != 0) break;
    stamps.push_back({st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim});
  }
  SSL_CTX *ctx = stamps.size() == paths.size() ? cached_context(key, stamps) : nullptr;
  if (ctx == nullptr) {
    stamps.clear();
    if (!open_credential_files(channel, task, files, stamps)) return -1;
    ctx = build_context(channel, task, files);
    if (ctx == nullptr) return -1;
    remember_context(key, std::move(stamps), ctx);
  }
  channel->ssl_ctx = ctx;
  channel->ssl = SSL_new(ctx);
  if (channel->ssl == nullptr) {
    LOG(LOG_ERROR, "Unable to create SSL connection to server fd %d: %s", channel->sfd, first_error_text().c_str());
    return -1;
  }
  // Retried writes may see the buffer address move (they never do today, but
  // it costs nothing). Record buffers are given back once the handshake is
  // done (relay_from_now_on), so that its records do not cost an allocation each.
  SSL_set_mode(channel->ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (task->use_eca) SSL_set_tlsext_host_name(channel->ssl, "ECA");
  SSL_set_app_data(channel->ssl, channel);
  sockaddr_storage peer;
  socklen_t length = sizeof peer;
  char address[INET6_ADDRSTRLEN + 8] = "";
  if (getpeername(channel->sfd, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
    bool v6 = peer.ss_family == AF_INET6;
    const void *ip = v6 ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_addr)
                        : &reinterpret_cast<sockaddr_in *>(&peer)->sin_addr;
    inet_ntop(peer.ss_family, ip, address, INET6_ADDRSTRLEN);
    snprintf(address + strlen(address), 8, " %u",
             ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port : reinterpret_cast<sockaddr_in *>(&peer)->sin_port));
    channel->session_key = std::string(address) + "\n" + task->server_addr + "\n" + (task->use_eca ? "ECA" : "");
    offer_session(channel);
  }
  BIO *bio = new_socket_bio(channel);
  if (bio == nullptr) {
    LOG(LOG_ERROR, "Unable to create SSL connection to server fd %d: %s", channel->sfd, first_error_text().c_str());
    return -1;
  }
  SSL_set_bio(channel->ssl, bio, bio);
  ERR_clear_error();
  return 0;
}

bool is_fatal_error(SSL *ssl, int result) {
  int error = SSL_get_error(ssl, result);
  if (error == SSL_ERROR_SSL) {
    const char *function = nullptr;
    while (unsigned long code = ERR_get_error_all(nullptr, nullptr, &function, nullptr, nullptr)) {
      char text[ERROR_TEXT_SIZE];
      ERR_error_string_n(code, text, sizeof text);
      const char *library = ERR_lib_error_string(code);
      const char *reason = ERR_reason_error_string(code);
      LOG(LOG_ERROR, "%s %s %s %s", text, library ? library : "(null)", function ? function : "(null)",
          reason ? reason : "(null)");
    }
    return true;
  }
  if (error == SSL_ERROR_SYSCALL) {
    while (unsigned long code = ERR_get_error()) {
      char text[ERROR_TEXT_SIZE];
      ERR_error_string_n(code, text, sizeof text);
      LOG(LOG_ERROR, "SYSCALL %s", text);
    }
    if (errno != 0) {
      char text[ERROR_TEXT_SIZE];
      LOG(LOG_WARN, "I/O error on SSL connection, might be okay - %s", errno_text(errno, text));
    } else {
      LOG(LOG_WARN, "I/O error on SSL connection, might be okay, errno not set");
    }
    return true;
  }
  return false;
}

namespace {

void close_socket(int fd, uint16_t port, bool server) {
  if (close(fd) == 0) return;
  int error = errno;
  char text[ERROR_TEXT_SIZE];
  if (server) {
    if (error != 0)
      LOG_AT("~connection_channel", LOG_ERROR, "close server fd %d:%d failed for errno %d - %s", fd, port, error,
             errno_text(error, text));
    else
      LOG_AT("~connection_channel", LOG_ERROR, "close server fd %d:%d failed, errno not set", fd, port);
  } else {
    if (error != 0)
      LOG_AT("~connection_channel", LOG_ERROR, "close fd %d failed for errno %d - %s", fd, error,
             errno_text(error, text));
    else
      LOG_AT("~connection_channel", LOG_ERROR, "close fd %d failed, errno not set", fd);
  }
}

void shutdown_tls(SSL *ssl) {
  ERR_clear_error();
  int rc = SSL_shutdown(ssl);
  if (rc == 1) {
    LOG_AT("~connection_channel", LOG_DEBUG, "SSL got close_notify - SSL connection closed");
    return;
  }
  if (rc == 0) {
    LOG_AT("~connection_channel", LOG_DEBUG, "SSL close_notify sent, waiting for remote");
  } else if (is_fatal_error(ssl, rc)) {
    return;
  }
  ERR_clear_error();
  rc = SSL_shutdown(ssl);
  LOG_AT("~connection_channel", LOG_DEBUG, "Second time SSL_shutdown returns %d - 1 is expected", rc);
}

}  // namespace

connection_channel::~connection_channel() {
  if (new_session != nullptr) SSL_SESSION_free(new_session);
  give_back_buffer(c2s, true);
  give_back_buffer(s2c, true);
  if (ssl != nullptr) {
    if (handshake_done) shutdown_tls(ssl);
    SSL_free(ssl);
    ssl = nullptr;
  }
  give_back_buffer(out, true);  // after the close_notify, which may have gone through it
  give_back_buffer(in, true);
  if (ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
  }
  ERR_clear_error();
  if (sfd != INVALID_SOCKET_FD) {
    LOG_AT("~connection_channel", LOG_INFO, "shutdown server fd %d:%d", sfd, local_port);
    close_socket(sfd, local_port, true);
  }
  if (cfd != INVALID_SOCKET_FD) {
    LOG_AT("~connection_channel", LOG_INFO, "shutdown cfd %d", cfd);
    close_socket(cfd, 0, false);
  }
}

// ---- epoll registrations ----

int change_events(uint32_t new_events, uint32_t old_events, int epoll_fd, int fd) {
  if (new_events == old_events && new_events == 0) return 0;
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = new_events;
  event.data.fd = fd;
  if (new_events == 0) {
    if (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &event) == 0 || errno == ENOENT) return 0;
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - delete fd %d", fd);
    return -1;
  }
  if (old_events == 0) {
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add fd %d", fd);
    return -1;
  }
  if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0) return 0;
  LOG_ERRNO(LOG_ERROR, "epoll_ctl error - change fd %d", fd);
  return -1;
}

void change_events(int epoll_fd, int fd) {
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  if (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &event) == 0 || errno == ENOENT) return;
  LOG_ERRNO(LOG_ERROR, "epoll_ctl error - delete fd %d", fd);
}

// ---- data pump ----
//
// client_io and server_io move bytes, then set both registrations from the
// channel's state alone (`wanted_masks`), never by adding and removing bits
// case by case. What the TLS layer waits for is part of that state: a read or
// a write that waits for the other direction of the socket is served by that
// event, and by nothing else, so a socket that is always writable never makes
// a waiting call run again and again.

namespace {

constexpr long CAPACITY_FOR_LOG = CHANNEL_BUFFER_SIZE;

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool owes_server(const connection_channel *ch) { return owed(ch->c2s) > 0 || tls_output_pending(ch); }

// A side with nothing left to deliver ends when its peer has ended; `closing`
// marks the side that still drains.
void settle(connection_channel *ch) {
  if (ch->server_ended && owed(ch->s2c) == 0) ch->client_ended = true;
  if (ch->client_ended && !owes_server(ch)) ch->server_ended = true;
  if (ch->client_ended != ch->server_ended) ch->closing = true;
}

// The registrations the state asks for:
//
//   cfd IN   c2s has room and the server side is open to take it
//   cfd OUT  s2c owes the client bytes
//   sfd IN   SSL_read may run: s2c has room (once the client has gone, only
//            when the write waits for a read), and the read does not wait to write
//   sfd OUT  the read waits to write; records wait in `out`; or c2s owes bytes
//            and the write does not wait for a read (while the library is in a
//            handshake the write waits for the read that completes it)
//   An ended side is never registered.
struct masks {
  uint32_t client;
  uint32_t server;
};

masks wanted_masks(const connection_channel *ch) {
  masks m{0, 0};
  if (!ch->client_ended) {
    if (!ch->server_ended && room(ch->c2s) > 0) m.client |= EPOLLIN;
    if (owed(ch->s2c) > 0) m.client |= EPOLLOUT;
  }
  if (!ch->server_ended) {
    bool read_may_run = ch->client_ended ? ch->write_waits == tls_waits::readable : room(ch->s2c) > 0;
    if (ch->read_waits == tls_waits::writable) m.server |= EPOLLOUT;
    else if (read_may_run) m.server |= EPOLLIN;
    if (tls_output_pending(ch)) m.server |= EPOLLOUT;
    if (owed(ch->c2s) > 0 && ch->write_waits != tls_waits::readable) m.server |= EPOLLOUT;
  }
  return m;
}

// Brings both registrations to what the state asks for; -1 when epoll refused.
int apply_masks(int epoll_fd, connection_channel *ch, const masks &m) {
  if (m.client != ch->cfd_events) {
    if (change_events(m.client, ch->cfd_events, epoll_fd, ch->cfd) != 0) return -1;
    ch->cfd_events = m.client;
  }
  if (m.server != ch->sfd_events) {
    if (change_events(m.server, ch->sfd_events, epoll_fd, ch->sfd) != 0) return -1;
    ch->sfd_events = m.server;
  }
  return 0;
}

// The end of one pump step: the state settles, the registrations follow it,
// and the result says whether the side of this event has ended.
int finish_step(int epoll_fd, connection_channel *ch, bool client_side, const masks *logged = nullptr) {
  settle(ch);
  give_back_buffer(ch->c2s);
  give_back_buffer(ch->s2c);
  give_back_buffer(ch->out);
  masks m = logged != nullptr ? *logged : wanted_masks(ch);
  if (apply_masks(epoll_fd, ch, m) != 0) {
    (client_side ? ch->client_ended : ch->server_ended) = true;
    return -1;
  }
  return (client_side ? ch->client_ended : ch->server_ended) ? -1 : 0;
}

void log_client_error(connection_channel *ch, const char *what, bool fatal) {
  char text[ERROR_TEXT_SIZE];
  int error = 0;
  socket_error_text(text, &error);
  LOG_AT("client_io", LOG_DEBUG, "server fd %d client fd %d - %s error - %d, %s", ch->sfd, ch->cfd, what, error, text);
  if (fatal)
    LOG_AT("client_io", LOG_ERROR, "server fd %d client fd %d - %s error - %d, %s", ch->sfd, ch->cfd, what, error,
           text);
  errno = error;
}

// The WARN line for a socket error on the server side; errno is 0 while the
// line is written and holds `error` again afterwards.
void warn_server_io_error(const char *function, int sfd, int error) {
  errno = 0;
  char text[ERROR_TEXT_SIZE];
  if (error != 0)
    LOG_AT(function, LOG_WARN, "SYSCALL I/O error on server fd %d, errno %d, %s", sfd, error, errno_text(error, text));
  else
    LOG_AT(function, LOG_WARN, "SYSCALL I/O error on server fd %d, errno not set", sfd);
  errno = error;
}

// ---- the client's side ----

// One send of the s2c bytes to the client. False when the client side has ended.
bool send_to_client(connection_channel *ch, bool report_failure) {
  ssize_t n = send(ch->cfd, owed_bytes(ch->s2c), owed(ch->s2c), MSG_NOSIGNAL);
  if (n > 0) {
    bool emptied = delivered(ch->s2c, static_cast<uint32_t>(n));
    LOG_AT("client_io", LOG_DEBUG, "server fd %d client fd %d, sent %d s2c buffer length %d capacity %ld", ch->sfd,
           ch->cfd, static_cast<int>(n), ch->s2c.length, CAPACITY_FOR_LOG);
    if (emptied && ch->server_ended) ch->client_ended = true;  // drained: nothing more will come
    return !ch->client_ended;
  }
  if (!report_failure) return true;  // the client's own write event meets the error
  bool fatal = n < 0 ? !would_block(errno) : true;
  log_client_error(ch, "send to client", fatal);
  if (fatal) ch->client_ended = true;
  return !fatal;
}

// ---- the server's side ----

// The records of one SSL_write gather in `out` and leave in one send.
int gathered_ssl_write(connection_channel *ch) {
  ERR_clear_error();
  ch->gather_writes = true;
  int n = SSL_write(ch->ssl, owed_bytes(ch->c2s), static_cast<int>(owed(ch->c2s)));
  ch->gather_writes = false;
  return n;
}

// Sends what waits in `out`. False when a socket error ended the server side.
bool send_output(connection_channel *ch) {
  if (flush_output(ch) >= 0) return true;
  warn_server_io_error("server_io", ch->sfd, errno);
  ch->server_ended = true;
  return false;
}

// True from the moment the server asked for a new handshake until it is
// done. The library may put off starting it while records it read ahead are
// still to be taken, and then starts it within whichever call comes next.
bool renegotiating(const connection_channel *ch) {
  return !SSL_is_init_finished(ch->ssl) || SSL_renegotiate_pending(ch->ssl) == 1;
}

// One SSL_write of the c2s bytes, unless the server asked for a new
// handshake: only SSL_read may start and carry it on, since records the
// server sends before its answer are data for the client, which a write
// would take for handshake messages. False when the server side has ended.
bool write_to_server(connection_channel *ch) {
  if (renegotiating(ch)) {
    if (ch->write_waits != tls_waits::readable)
      LOG_AT("server_io", LOG_WARN, "SSL want to read from server fd %d client fd %d", ch->sfd, ch->cfd);
    ch->write_waits = tls_waits::readable;
    return true;
  }
  int n = gathered_ssl_write(ch);
  if (n < 1) {
    if (handle_ssl_error(n, ch->write_waits, ch)) {
      ch->server_ended = true;
      return false;
    }
    return send_output(ch);  // records made before the write stopped
  }
  ch->write_waits = tls_waits::nothing;
  bool sent = send_output(ch);
  if (delivered(ch->c2s, static_cast<uint32_t>(n)))
    LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, c2s buffer is empty", ch->sfd, ch->cfd);
  LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, sent %d c2s buffer length %d capacity %ld", ch->sfd,
         ch->cfd, n, ch->c2s.length, CAPACITY_FOR_LOG);
  return sent;
}

bool write_may_run(const connection_channel *ch) {
  return !ch->server_ended && owed(ch->c2s) > 0 && !tls_output_pending(ch) &&
         ch->write_waits != tls_waits::readable;
}

// One receive from the server's socket at most; every whole record the TLS
// layer then holds is decrypted into s2c while there is room. Once the client
// has gone, what is read is dropped. False when the server side has ended.
bool read_from_server(connection_channel *ch) {
  ch->server_reads_left = 1;
  int total = 0, n;
  if (!take_buffer(ch->s2c)) {
    LOG_AT("server_io", LOG_ERROR, "Unable to allocate a buffer for server fd %d - OOM", ch->sfd);
    ch->server_ended = true;
    return false;
  }
  do {
    ERR_clear_error();
    n = SSL_read(ch->ssl, fill_point(ch->s2c), static_cast<int>(room(ch->s2c)));
    if (n >= 1) {
      filled(ch->s2c, static_cast<uint32_t>(n));
      total += n;
      if (ch->client_ended) ch->s2c.length = ch->s2c.sent = 0;
    }
  } while (n >= 1 && room(ch->s2c) > 0);
  ch->server_reads_left = -1;
  if (total > 0) {
    if (room(ch->s2c) == 0) LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, s2c buffer is full", ch->sfd, ch->cfd);
    LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, read %d s2c buffer length %d capacity %ld", ch->sfd,
           ch->cfd, total, ch->s2c.length, CAPACITY_FOR_LOG);
  }
  if (n >= 1) {
    ch->read_waits = tls_waits::nothing;  // stopped by a full s2c, not by the socket
    return true;
  }
  // A want-read after fresh bytes is the usual end of a step and is not worth a line.
  int error = SSL_get_error(ch->ssl, n);
  if (total > 0 && error == SSL_ERROR_WANT_READ) {
    ch->read_waits = tls_waits::readable;
    return true;
  }
  if (handle_ssl_error(n, ch->read_waits, ch)) {
    ch->server_ended = true;  // what ended the reading ends the side; the bytes read still reach the client
    return false;
  }
  return true;
}

}  // namespace

bool handle_ssl_error(int result, tls_waits &waits, connection_channel *ch) {
  int error = SSL_get_error(ch->ssl, result);
  switch (error) {
    case SSL_ERROR_SSL:
      while (unsigned long code = ERR_get_error()) {
        char text[ERROR_TEXT_SIZE];
        ERR_error_string_n(code, text, sizeof text);
        LOG(LOG_ERROR, "SSL server fd %d %s", ch->sfd, text);
      }
      return true;
    case SSL_ERROR_WANT_READ:
      LOG(LOG_WARN, "SSL want to read from server fd %d client fd %d", ch->sfd, ch->cfd);
      waits = tls_waits::readable;
      return false;
    case SSL_ERROR_WANT_WRITE:
      LOG(LOG_WARN, "SSL want to write to server fd %d client fd %d", ch->sfd, ch->cfd);
      if (ch->c2s.length == 0)
        LOG(LOG_ERROR, "server fd %d client fd %d, there is no cached data from client, try next read", ch->sfd,
            ch->cfd);
      waits = tls_waits::writable;  // served by the server's write event, whatever c2s holds
      return false;
    case SSL_ERROR_SYSCALL: {
      int saved = errno;
      while (unsigned long code = ERR_get_error()) {
        char text[ERROR_TEXT_SIZE];
        ERR_error_string_n(code, text, sizeof text);
        LOG(LOG_ERROR, "SYSCALL server fd %d %s", ch->sfd, text);
      }
      warn_server_io_error(__func__, ch->sfd, saved);
      return true;
    }
    case SSL_ERROR_ZERO_RETURN:
      LOG(LOG_DEBUG, "SSL server server closed connection, server fd %d client fd %d", ch->sfd, ch->cfd);
      return true;
    default: {
      int saved = errno;
      errno = 0;
      if (saved != 0) {
        char text[ERROR_TEXT_SIZE];
        LOG(LOG_ERROR, "server fd %d client fd %d, unhandled SSL error %d, errno %d, %s", ch->sfd, ch->cfd, error,
            saved, errno_text(saved, text));
      } else {
        LOG(LOG_ERROR, "server fd %d client fd %d, unhandled SSL error %d, errno not set", ch->sfd, ch->cfd, error);
      }
      errno = saved;
      return true;
    }
  }
}

int client_io(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  if ((events & EPOLLIN) && !ch->client_ended && !ch->server_ended && room(ch->c2s) > 0) {
    ssize_t n = take_buffer(ch->c2s) ? recv(ch->cfd, fill_point(ch->c2s), room(ch->c2s), 0) : -2;
    if (n == -2) {
      LOG(LOG_ERROR, "Unable to allocate a buffer for client fd %d - OOM", ch->cfd);
      ch->client_ended = true;
    } else if (n > 0) {
      filled(ch->c2s, static_cast<uint32_t>(n));
      LOG(LOG_DEBUG, "server fd %d client fd %d, read %d c2s buffer length %d capacity %ld", ch->sfd, ch->cfd,
          static_cast<int>(n), ch->c2s.length, CAPACITY_FOR_LOG);
      // Fresh bytes go on at once when this event brought no write of its
      // own: each event then costs one receive and one send, and the
      // server's socket is watched for writability only when it was full.
      if ((events & EPOLLOUT) == 0 && write_may_run(ch)) write_to_server(ch);
    } else if (n == 0) {
      LOG(LOG_DEBUG, "server fd %d client fd %d - client closed connection", ch->sfd, ch->cfd);
      ch->client_ended = true;
    } else {
      bool fatal = !would_block(errno);
      log_client_error(ch, "read from client", fatal);
      if (fatal) ch->client_ended = true;
    }
  }
  if ((events & EPOLLOUT) && !ch->client_ended && owed(ch->s2c) > 0) send_to_client(ch, true);
  settle(ch);
  masks m = wanted_masks(ch);
  LOG(LOG_DEBUG, "server fd %d client fd %d client events %d <- %d, server events %d <- %d", ch->sfd, ch->cfd,
      m.client, ch->cfd_events, m.server, ch->sfd_events);
  return finish_step(epoll_fd, ch, true, &m);
}

int server_io(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  bool readable = (events & EPOLLIN) != 0, writable = (events & EPOLLOUT) != 0;
  if (writable && tls_output_pending(ch)) send_output(ch);
  // The read runs on its own event, or on a writable one when it waits to write.
  bool read_event = ch->read_waits == tls_waits::writable ? writable : readable;
  bool read_may_run = ch->client_ended ? ch->write_waits == tls_waits::readable : room(ch->s2c) > 0;
  if (read_event && read_may_run && !ch->server_ended) {
    uint32_t before = ch->s2c.length;
    if (read_from_server(ch) && ch->s2c.length > before && !writable && !ch->client_ended)
      send_to_client(ch, false);  // fresh bytes go on at once, as on the client's side
  }
  // The write runs on its own event, or after the read it waited for.
  bool write_event = ch->write_waits == tls_waits::readable ? readable : writable;
  if (write_event && ch->write_waits == tls_waits::readable && !renegotiating(ch))
    ch->write_waits = tls_waits::nothing;
  if ((write_event || writable) && write_may_run(ch)) write_to_server(ch);
  return finish_step(epoll_fd, ch, false);
}

void relay_from_now_on(connection_channel *ch) { SSL_set_mode(ch->ssl, SSL_MODE_RELEASE_BUFFERS); }

bool tls_bytes_waiting(const connection_channel *ch) {
  // A new handshake the library put off also needs an SSL_read to start it.
  return ch->ssl != nullptr && !ch->client_ended && !ch->server_ended && ch->read_waits == tls_waits::nothing &&
         room(ch->s2c) > 0 &&
         (owed(ch->in) > 0 || SSL_has_pending(ch->ssl) == 1 || SSL_renegotiate_pending(ch->ssl) == 1);
}
