#include "tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
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

// ---- channel memory ----

// Mapping and unmapping cost page faults and TLB flushes on every CPU that
// ran the process, which shows on short connections. So each thread keeps up
// to CHANNELS_KEPT_PER_THREAD channels whose buffers never held more than
// one page (about 16 KiB resident each) and hands them out again; a channel
// that carried more gives its memory back to the system.
namespace {

constexpr size_t CHANNELS_KEPT_PER_THREAD = 8;
constexpr uint32_t KEPT_CHANNEL_PEAK = 4096;

struct kept_channels {
  void *memory[CHANNELS_KEPT_PER_THREAD];
  size_t count = 0;
  ~kept_channels() {
    while (count > 0) munmap(memory[--count], sizeof(connection_channel));
  }
};

thread_local kept_channels t_kept_channels;

}  // namespace

void *connection_channel::operator new(std::size_t size, const std::nothrow_t &) noexcept {
  if (t_kept_channels.count > 0) return t_kept_channels.memory[--t_kept_channels.count];
  void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void connection_channel::operator delete(connection_channel *channel, std::destroying_delete_t) noexcept {
  if (channel == nullptr) return;
  bool keep = channel->buffer_peak <= KEPT_CHANNEL_PEAK && t_kept_channels.count < CHANNELS_KEPT_PER_THREAD;
  channel->~connection_channel();
  if (keep)
    t_kept_channels.memory[t_kept_channels.count++] = channel;
  else
    munmap(channel, sizeof(connection_channel));
}

void connection_channel::operator delete(void *pointer, const std::nothrow_t &) noexcept {
  if (pointer != nullptr) munmap(pointer, sizeof(connection_channel));
}

// ---- the TLS layer's socket I/O ----
//
// The TLS connection reaches the server's socket through a BIO of our own.
// Outside the data pump it behaves as the library's socket BIO does. Inside
// the pump it does two things that save system calls on a busy relay:
// - a server event makes at most one socket read (server_reads_left), and
//   every whole record it brought is decrypted in the same step;
// - the records one SSL_write makes gather in out_buffer and go to the
//   socket in one send when the write returns (gather_writes). Bytes the
//   socket did not take wait there; the pump keeps EPOLLOUT on the server's
//   socket until they are gone and counts them as bytes still owed to the
//   server.

namespace {

bool socket_retry_error(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS || error == EALREADY ||
         error == ENOTCONN || error == EPROTO;
}

// One send of what waits in out_buffer: 1 once it is empty, 0 when the socket
// is full, -1 on a socket error (errno tells which).
int flush_output(connection_channel *ch) {
  if (!tls_output_pending(ch)) return 1;
  ssize_t n;
  do {
    n = send(ch->sfd, ch->out_buffer + ch->out_sent, ch->out_length - ch->out_sent, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return socket_retry_error(errno) ? 0 : -1;
  ch->out_sent += static_cast<uint32_t>(n);
  if (ch->out_sent < ch->out_length) return 0;
  ch->out_length = ch->out_sent = 0;
  return 1;
}

int socket_bio_read(BIO *bio, char *out, int size) {
  auto *ch = static_cast<connection_channel *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (out == nullptr || size <= 0) return 0;
  if (ch->server_reads_left == 0) {  // this step has had its read
    BIO_set_retry_read(bio);
    return -1;
  }
  if (ch->server_reads_left > 0) ch->server_reads_left--;
  ssize_t n;
  do {
    n = recv(ch->sfd, out, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  if (n < 0 && socket_retry_error(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

int socket_bio_write(BIO *bio, const char *in, int size) {
  auto *ch = static_cast<connection_channel *>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (in == nullptr || size <= 0) return 0;
  auto length = static_cast<uint32_t>(size);
  if (ch->gather_writes || tls_output_pending(ch)) {
    // Gathered bytes go first, so nothing overtakes them.
    if (TLS_OUT_BUFFER_SIZE - ch->out_length < length || !ch->gather_writes) {
      if (flush_output(ch) < 0) return -1;
    }
    if (ch->gather_writes && TLS_OUT_BUFFER_SIZE - ch->out_length >= length) {
      memcpy(ch->out_buffer + ch->out_length, in, length);
      ch->out_length += length;
      ch->note_fill(ch->out_length);
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
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    case BIO_CTRL_WPENDING:
      return static_cast<long>(ch->out_length - ch->out_sent);
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

// ---- context ----

namespace {

std::string first_error_text() {
  char text[ERROR_TEXT_SIZE];
  ERR_error_string_n(ERR_peek_error(), text, sizeof text);
  return text;
}

int load_client_certificate(SSL_CTX *ctx, connection_channel *channel, sealgate_task *task) {
  if (!task->pass_phrase_file.empty()) {
    SSL_CTX_set_default_passwd_cb(ctx, passphrase_callback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char *>(task->pass_phrase_file.c_str()));
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, task->cert_file.c_str()) < 1) {
    LOG(LOG_ERROR, "SSL_CTX_use_certificate_chain_file failed server fd %d - %s: %s", channel->sfd,
        task->cert_file.c_str(), first_error_text().c_str());
    return -1;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, task->key_file.c_str(), SSL_FILETYPE_PEM) < 1) {
    LOG(LOG_ERROR, "SSL_CTX_use_PrivateKey_file failed server fd %d - %s: %s", channel->sfd,
        task->key_file.c_str(), first_error_text().c_str());
    return -1;
  }
  return 0;
}

int load_ca_file(SSL_CTX *ctx, connection_channel *channel, sealgate_task *task) {
  char *copy = strdup(task->ca_cert_pem_file.c_str());
  if (copy == nullptr) {
    LOG(LOG_ERROR, "Unable to allocate buffer - OOM");
    return -1;
  }
  // The same path is given as CA file and as CA directory.
  int rc = SSL_CTX_load_verify_locations(ctx, copy, task->ca_cert_pem_file.c_str());
  if (rc < 1) {
    LOG(LOG_ERROR, "SSL_CTX_load_verify_locations failed server fd %d - %s: %s", channel->sfd, copy,
        first_error_text().c_str());
    free(copy);
    return -1;
  }
  free(copy);
  return 0;
}

// ---- context cache ----
//
// Loading a CA bundle or decrypting a key costs far more than a handshake, so
// a context that loaded cleanly is kept and shared by reference. It is keyed
// by the files the request names and by each file's identity on disk (device,
// inode, size, change and modification times): a file that changes is read
// again by the next connection. Failures are never kept, so a failing file
// gives the same error lines every time.

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

struct context_entry {
  std::vector<file_stamp> stamps;
  SSL_CTX *ctx;
};

constexpr size_t CONTEXT_CACHE_LIMIT = 64;
std::mutex g_context_mutex;
std::unordered_map<std::string, context_entry> g_contexts;

// Stamps every file; false when one cannot be read (then nothing is cached).
bool stamp_files(const std::vector<const std::string *> &paths, std::vector<file_stamp> &stamps) {
  for (const std::string *path : paths) {
    struct stat st;
    if (stat(path->c_str(), &st) != 0) return false;
    stamps.push_back({st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim});
  }
  return true;
}

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

// A fresh context with the request's credentials; null after logging why.
SSL_CTX *build_context(connection_channel *channel, sealgate_task *task, bool client_auth) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "Unable to create SSL CTX for server fd %d", channel->sfd);
    return nullptr;
  }
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
  int rc = client_auth ? load_client_certificate(ctx, channel, task) : load_ca_file(ctx, channel, task);
  // The passphrase is needed only while the key loads; the text it points at belongs to this task.
  SSL_CTX_set_default_passwd_cb(ctx, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (rc != 0) {
    channel->ssl_ctx = ctx;  // the channel frees it, as it would any half-built context
    return nullptr;
  }
  return ctx;
}

}  // namespace

void clear_context_cache() {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  for (auto &entry : g_contexts) SSL_CTX_free(entry.second.ctx);
  g_contexts.clear();
}

int init_channel_ssl(connection_channel *channel, sealgate_task *task) {
  bool client_auth = !task->cert_file.empty() && !task->key_file.empty();
  if (!client_auth)
    LOG(LOG_DEBUG, "Use certificate file %s to communicate with server fd %d", task->ca_cert_pem_file.c_str(),
        channel->sfd);
  std::string key;
  std::vector<const std::string *> files;
  if (client_auth) {
    key = "client\n" + task->cert_file + "\n" + task->key_file + "\n" + task->pass_phrase_file;
    files = {&task->cert_file, &task->key_file};
    if (!task->pass_phrase_file.empty()) files.push_back(&task->pass_phrase_file);
  } else {
    key = "ca\n" + task->ca_cert_pem_file;
    files = {&task->ca_cert_pem_file};
  }
  std::vector<file_stamp> stamps;
  bool cacheable = stamp_files(files, stamps);
  SSL_CTX *ctx = cacheable ? cached_context(key, stamps) : nullptr;
  if (ctx == nullptr) {
    ctx = build_context(channel, task, client_auth);
    if (ctx == nullptr) return -1;
    if (cacheable) remember_context(key, std::move(stamps), ctx);
  }
  channel->ssl_ctx = ctx;
  channel->ssl = SSL_new(ctx);
  if (channel->ssl == nullptr) {
    LOG(LOG_ERROR, "Unable to create SSL connection to server fd %d: %s", channel->sfd, first_error_text().c_str());
    return -1;
  }
  // Idle connections give their record buffers back; retried writes may see
  // the buffer address move (they never do today, but it costs nothing).
  SSL_set_mode(channel->ssl, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Read ahead: one receive takes in several records at once. Records read
  // ahead do not make the socket readable again, so the worker gives such a
  // channel another read turn itself (tls_bytes_waiting).
  SSL_set_read_ahead(channel->ssl, 1);
  SSL_set_default_read_buffer_len(channel->ssl, TLS_READ_AHEAD_BYTES);
  if (task->use_eca) SSL_set_tlsext_host_name(channel->ssl, "ECA");
  BIO *bio = new_socket_bio(channel);
  if (bio == nullptr) {
    LOG(LOG_ERROR, "Unable to create SSL connection to server fd %d: %s", channel->sfd, first_error_text().c_str());
    return -1;
  }
  SSL_set_bio(channel->ssl, bio, bio);
  ERR_clear_error();
  return 0;
}

int passphrase_callback(char *buffer, int size, int, void *userdata) {
  if (size <= 0) return 0;
  std::ifstream file(static_cast<const char *>(userdata));
  if (!file) return 0;
  // The file's bytes are the passphrase: a final line break is part of it.
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  memset(buffer, 0, static_cast<size_t>(size));
  strncpy(buffer, content.c_str(), static_cast<size_t>(size));
  buffer[size - 1] = '\0';
  return static_cast<int>(strlen(buffer));
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
  if (ssl != nullptr) {
    if (handshake_done) shutdown_tls(ssl);
    SSL_free(ssl);
    ssl = nullptr;
  }
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

namespace {

constexpr long CAPACITY_FOR_LOG = CHANNEL_BUFFER_SIZE;

// Brings both registrations to the new masks. Once one side has finished
// (closing), it is never registered again, and the side that is draining
// only writes: there is nowhere left to deliver what it would read.
int apply_masks(int epoll_fd, connection_channel *ch, uint32_t new_c, uint32_t new_s) {
  if (ch->closing) {
    if (ch->cfd_events == 0) new_c = 0;
    if (ch->sfd_events == 0) new_s = 0;
    if (ch->sfd_events == 0) new_c &= ~static_cast<uint32_t>(EPOLLIN);
  }
  if (new_c != ch->cfd_events) {
    if (change_events(new_c, ch->cfd_events, epoll_fd, ch->cfd) != 0) return -1;
  }
  ch->cfd_events = new_c;
  if (new_s != ch->sfd_events) {
    if (change_events(new_s, ch->sfd_events, epoll_fd, ch->sfd) != 0) return -1;
  }
  ch->sfd_events = new_s;
  return 0;
}

// The side that still has bytes to deliver keeps only EPOLLOUT.
void keep_draining(int epoll_fd, uint32_t &events, int fd) {
  uint32_t wanted = EPOLLOUT;
  if (events != wanted && change_events(wanted, events, epoll_fd, fd) == 0) events = wanted;
}

int client_teardown(int epoll_fd, connection_channel *ch) {
  if (ch->c2s_length != ch->c2s_sent || tls_output_pending(ch)) {
    ch->closing = true;
    if (ch->sfd_events != 0) keep_draining(epoll_fd, ch->sfd_events, ch->sfd);
  } else if (ch->sfd_events != 0) {
    change_events(epoll_fd, ch->sfd);
    ch->sfd_events = 0;
  }
  change_events(epoll_fd, ch->cfd);
  ch->cfd_events = 0;
  return -1;
}

int server_teardown(int epoll_fd, connection_channel *ch) {
  if (ch->s2c_length != ch->s2c_sent) {
    ch->closing = true;
    if (ch->cfd_events != 0) keep_draining(epoll_fd, ch->cfd_events, ch->cfd);
  } else if (ch->cfd_events != 0) {
    change_events(epoll_fd, ch->cfd);
    ch->cfd_events = 0;
  }
  change_events(epoll_fd, ch->sfd);
  ch->sfd_events = 0;
  return -1;
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

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// After a successful send of n s2c bytes to the client; true when the client
// side is now finished (it was draining and the buffer is empty).
bool account_client_send(connection_channel *ch, int n, uint32_t &new_c, uint32_t &new_s) {
  bool finished = false;
  ch->s2c_sent += static_cast<uint32_t>(n);
  if (ch->s2c_sent == ch->s2c_length) {
    new_c &= ~static_cast<uint32_t>(EPOLLOUT);
    ch->s2c_length = ch->s2c_sent = 0;
    if (ch->closing) finished = true;
  }
  LOG_AT("client_io", LOG_DEBUG, "server fd %d client fd %d, sent %d s2c buffer length %d capacity %ld", ch->sfd,
         ch->cfd, n, ch->s2c_length, CAPACITY_FOR_LOG);
  if (ch->s2c_length < CHANNEL_BUFFER_SIZE) new_s |= EPOLLIN;
  return finished;
}

// After a successful SSL_write of n c2s bytes; true when the server side is
// now finished (it was draining and every byte is on the socket).
bool account_server_write(connection_channel *ch, int n, uint32_t &new_c, uint32_t &new_s) {
  bool finished = false;
  ch->c2s_sent += static_cast<uint32_t>(n);
  if (ch->c2s_sent == ch->c2s_length) {
    new_s &= ~static_cast<uint32_t>(EPOLLOUT);
    ch->c2s_length = ch->c2s_sent = 0;
    LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, c2s buffer is empty", ch->sfd, ch->cfd);
    if (ch->closing && !tls_output_pending(ch)) finished = true;
  }
  LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, sent %d c2s buffer length %d capacity %ld", ch->sfd,
         ch->cfd, n, ch->c2s_length, CAPACITY_FOR_LOG);
  if (ch->c2s_length < CHANNEL_BUFFER_SIZE) new_c |= EPOLLIN;
  if (tls_output_pending(ch)) new_s |= EPOLLOUT;
  return finished;
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

// A socket error while sending gathered records, logged as the library's own
// socket error would be.
void log_output_failure(connection_channel *ch) { warn_server_io_error("server_io", ch->sfd, errno); }

// SSL_write of the c2s bytes with its records gathered in out_buffer; the
// caller sends them.
int gathered_ssl_write(connection_channel *ch) {
  ERR_clear_error();
  ch->gather_writes = true;
  int n = SSL_write(ch->ssl, ch->c2s_buffer + ch->c2s_sent, static_cast<int>(ch->c2s_length - ch->c2s_sent));
  ch->gather_writes = false;
  return n;
}

// One SSL_write of the c2s bytes; its records leave in one send. True when
// the server side has ended.
bool write_to_server(connection_channel *ch, uint32_t &new_c, uint32_t &new_s) {
  int n = gathered_ssl_write(ch);
  if (n < 1) {
    bool fatal = handle_ssl_error(n, new_s, ch);
    if (!fatal && flush_output(ch) != 1) new_s |= EPOLLOUT;  // records made before the failure
    return fatal;
  }
  int flushed = flush_output(ch);
  bool finished = account_server_write(ch, n, new_c, new_s);
  if (flushed < 0) {
    log_output_failure(ch);
    return true;
  }
  return finished;
}

// Sends what an earlier write left in out_buffer. True when the server side
// has ended (a socket error, or the last owed byte of a closing channel).
bool finish_output(connection_channel *ch, uint32_t &new_s) {
  int rc = flush_output(ch);
  if (rc < 0) {
    log_output_failure(ch);
    return true;
  }
  if (rc == 0 || ch->c2s_length != ch->c2s_sent) return false;
  new_s &= ~static_cast<uint32_t>(EPOLLOUT);
  return ch->closing;
}

// One receive from the server's socket at most; every whole record the TLS
// layer then holds is decrypted into s2c while there is room. Returns the
// last SSL_read result and adds the bytes read to total.
int read_from_server(connection_channel *ch, int &total) {
  ch->server_reads_left = 1;
  int n;
  do {
    ERR_clear_error();
    n = SSL_read(ch->ssl, ch->s2c_buffer + ch->s2c_length, static_cast<int>(CHANNEL_BUFFER_SIZE - ch->s2c_length));
    if (n >= 1) {
      ch->s2c_length += static_cast<uint32_t>(n);
      ch->note_fill(ch->s2c_length);
      total += n;
    }
  } while (n >= 1 && ch->s2c_length < CHANNEL_BUFFER_SIZE);
  ch->server_reads_left = -1;
  // After a want-read only part of a record is left inside the library: the
  // rest can come only through the socket, so no read turn is needed.
  ch->tls_starved = n < 1 && SSL_get_error(ch->ssl, n) == SSL_ERROR_WANT_READ;
  return n;
}

// Fresh bytes are passed on at once when the event brought no write of its
// own, so each event still costs at most one receive and one send, and the
// peer's socket is watched for writability only when it was full. Anything
// short of success changes nothing: the bytes wait in the buffer and the
// write mask takes them as before.
void pass_on_to_server(connection_channel *ch, uint32_t &new_c, uint32_t &new_s) {
  if (ch->closing || ch->sfd_events == 0 || ch->c2s_length <= ch->c2s_sent || tls_output_pending(ch)) return;
  int n = gathered_ssl_write(ch);
  // A failed send leaves the records waiting: the server's write event sends
  // them again and meets any socket error there.
  flush_output(ch);
  if (n >= 1) {
    account_server_write(ch, n, new_c, new_s);
  } else {
    ERR_clear_error();  // the write mask retries with the same bytes and handles any error
  }
  if (tls_output_pending(ch)) new_s |= EPOLLOUT;
}

void pass_on_to_client(connection_channel *ch, uint32_t &new_c, uint32_t &new_s) {
  if (ch->closing || ch->cfd_events == 0 || ch->s2c_length <= ch->s2c_sent) return;
  ssize_t n = send(ch->cfd, ch->s2c_buffer + ch->s2c_sent, ch->s2c_length - ch->s2c_sent, MSG_NOSIGNAL);
  if (n > 0) account_client_send(ch, static_cast<int>(n), new_c, new_s);
}

}  // namespace

int client_io(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  uint32_t new_c = ch->cfd_events;
  uint32_t new_s = ch->sfd_events;
  if ((events & EPOLLIN) && ch->c2s_length < CHANNEL_BUFFER_SIZE) {
    ssize_t n = recv(ch->cfd, ch->c2s_buffer + ch->c2s_length, CHANNEL_BUFFER_SIZE - ch->c2s_length, 0);
    if (n > 0) {
      ch->c2s_length += static_cast<uint32_t>(n);
      ch->note_fill(ch->c2s_length);
      new_s |= EPOLLOUT;
      LOG(LOG_DEBUG, "server fd %d client fd %d, read %d c2s buffer length %d capacity %ld", ch->sfd, ch->cfd,
          static_cast<int>(n), ch->c2s_length, CAPACITY_FOR_LOG);
      if (ch->c2s_length == CHANNEL_BUFFER_SIZE) new_c &= ~static_cast<uint32_t>(EPOLLIN);
      if ((events & EPOLLOUT) == 0) pass_on_to_server(ch, new_c, new_s);
    } else if (n == 0) {
      LOG(LOG_DEBUG, "server fd %d client fd %d - client closed connection", ch->sfd, ch->cfd);
      return client_teardown(epoll_fd, ch);
    } else {
      bool fatal = !would_block(errno);
      log_client_error(ch, "read from client", fatal);
      if (fatal) return client_teardown(epoll_fd, ch);
    }
  }
  if ((events & EPOLLOUT) && ch->s2c_length > ch->s2c_sent) {
    bool fatal = false;
    ssize_t n = send(ch->cfd, ch->s2c_buffer + ch->s2c_sent, ch->s2c_length - ch->s2c_sent, MSG_NOSIGNAL);
    if (n > 0) {
      fatal = account_client_send(ch, static_cast<int>(n), new_c, new_s);
    } else {
      fatal = n < 0 ? !would_block(errno) : true;
      log_client_error(ch, "send to client", fatal);
    }
    if (fatal) return client_teardown(epoll_fd, ch);
  }
  LOG(LOG_DEBUG, "server fd %d client fd %d client events %d <- %d, server events %d <- %d", ch->sfd, ch->cfd,
      new_c, ch->cfd_events, new_s, ch->sfd_events);
  return apply_masks(epoll_fd, ch, new_c, new_s);
}

bool handle_ssl_error(int result, uint32_t &new_s, connection_channel *ch) {
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
      new_s |= EPOLLIN;
      return false;
    case SSL_ERROR_WANT_WRITE:
      LOG(LOG_WARN, "SSL want to write to server fd %d client fd %d", ch->sfd, ch->cfd);
      if (ch->c2s_length == 0)
        LOG(LOG_ERROR, "server fd %d client fd %d, there is no cached data from client, try next read", ch->sfd,
            ch->cfd);
      else
        new_s |= EPOLLOUT;
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

int server_io(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  uint32_t new_c = ch->cfd_events;
  uint32_t new_s = ch->sfd_events;
  if ((events & EPOLLIN) && ch->s2c_length < CHANNEL_BUFFER_SIZE) {
    int read = 0;
    int n = read_from_server(ch, read);
    if (read > 0) {
      if (ch->s2c_length == CHANNEL_BUFFER_SIZE) {
        new_s &= ~static_cast<uint32_t>(EPOLLIN);
        LOG(LOG_DEBUG, "server fd %d client fd %d, s2c buffer is full", ch->sfd, ch->cfd);
      }
      new_c |= EPOLLOUT;
      LOG(LOG_DEBUG, "server fd %d client fd %d, read %d s2c buffer length %d capacity %ld", ch->sfd, ch->cfd, read,
          ch->s2c_length, CAPACITY_FOR_LOG);
      if ((events & EPOLLOUT) == 0) pass_on_to_client(ch, new_c, new_s);
      // What ended the reading after those bytes (the server's close, say)
      // ends the server side now; the bytes still reach the client.
      bool ended = n < 1 && !ch->tls_starved && handle_ssl_error(n, new_s, ch);
      ERR_clear_error();
      if (ended) return server_teardown(epoll_fd, ch);
    } else if (handle_ssl_error(n, new_s, ch)) {
      return server_teardown(epoll_fd, ch);
    }
  }
  if (events & EPOLLOUT) {
    bool fatal = false;
    if (tls_output_pending(ch)) {
      fatal = finish_output(ch, new_s);
    } else if (ch->c2s_length > ch->c2s_sent) {
      fatal = write_to_server(ch, new_c, new_s);
    } else {
      // Nothing to write (the write was asked for by the library): stop watching.
      new_s &= ~static_cast<uint32_t>(EPOLLOUT);
    }
    if (fatal) return server_teardown(epoll_fd, ch);
  }
  return apply_masks(epoll_fd, ch, new_c, new_s);
}

bool tls_bytes_waiting(const connection_channel *ch) {
  return ch->ssl != nullptr && !ch->tls_starved && (ch->sfd_events & EPOLLIN) != 0 &&
         ch->s2c_length < CHANNEL_BUFFER_SIZE && SSL_has_pending(ch->ssl) == 1;
}
