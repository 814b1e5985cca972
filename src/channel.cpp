// A relayed connection: its relay buffers and their pool, its TLS connection
// object with the socket I/O of our own, and its teardown. Moving bytes is
// the pump's; contexts and sessions are kept by the TLS set-up.
#include "channel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/err.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "identity.h"
#include "log.h"
#include "tls_setup.h"

// ---- relay buffers ----
//
// A connection holds buffer memory only while it has bytes in flight: a
// buffer is taken from the worker's pool just before the receive that fills
// it and goes back at the end of the pump step that empties it. The pool is
// a LIFO list (the block freed last, still warm, is used first) of at most
// BUFFER_POOL_BLOCKS blocks per thread; an idle worker returns all but
// BUFFER_POOL_WARM to the system, and of those it keeps only the first
// WARM_BYTES resident: a short connection never fills further, and pages a
// bulk transfer touched would otherwise stay with every worker that once
// served one. Sanitizer builds bypass the pool, so that every block is an
// allocation of its own that the sanitizer can watch.

namespace {

constexpr size_t RELAY_BLOCK_SIZE = TLS_OUT_BUFFER_SIZE;  // one size for c2s, s2c and out
constexpr size_t BUFFER_POOL_BLOCKS = 8;
constexpr size_t BUFFER_POOL_WARM = 4;  // what an idle worker keeps: a short connection's worth
constexpr uint32_t WARM_BYTES = 16384;  // of each kept block, page-aligned
static_assert(WARM_BYTES % 4096 == 0 && WARM_BYTES < RELAY_BLOCK_SIZE);

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
  struct entry {
    void *block;
    uint32_t touched;
  } blocks[BUFFER_POOL_BLOCKS + 1];
  size_t count = 0;
  void trim(size_t keep) {
    while (count > keep) free_block(blocks[--count].block);
    for (size_t i = 0; i < count; i++) {
      if (blocks[i].touched <= WARM_BYTES) continue;
      madvise(static_cast<unsigned char *>(blocks[i].block) + WARM_BYTES, RELAY_BLOCK_SIZE - WARM_BYTES, MADV_DONTNEED);
      blocks[i].touched = WARM_BYTES;
    }
  }
  ~buffer_pool() { trim(0); }
};

thread_local buffer_pool t_pool;

}  // namespace

bool take_buffer(relay_buffer &b) {
  if (b.data != nullptr) return true;
  buffer_pool::entry fresh = {nullptr, 0}, &e = t_pool.count > 0 ? t_pool.blocks[--t_pool.count] : fresh;
  b.data = static_cast<unsigned char *>(e.block != nullptr ? e.block : new_block());
  b.touched = e.touched;
  return b.data != nullptr;
}

void give_back_buffer(relay_buffer &b, bool force) {
  if (b.data == nullptr || (b.length != 0 && !force)) return;
  if (t_pool.count < POOL_BLOCKS)
    t_pool.blocks[t_pool.count++] = {b.data, b.touched};
  else
    free_block(b.data);
  b.data = nullptr;
  b.length = b.sent = b.touched = 0;
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

}  // namespace

int flush_output(connection_channel *ch) {
  if (!tls_output_pending(ch)) return 1;
  ssize_t n;
  do {
    n = send(ch->sfd, owed_bytes(ch->out), owed(ch->out), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return socket_retry_error(errno) ? 0 : -1;
  return delivered(ch->out, static_cast<uint32_t>(n)) ? 1 : 0;
}

namespace {

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

int init_channel_ssl(connection_channel *channel, const connection_info &request, SSL_CTX *ctx) {
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
  if (request.use_eca) SSL_set_tlsext_host_name(channel->ssl, "ECA");
  if (ask_server_identity(channel->ssl, request, channel->sfd) != 0) return -1;  // with "VerifyServer" only
  sockaddr_storage peer = channel->server_address;
  socklen_t length = channel->server_address_length;
  char address[INET6_ADDRSTRLEN + 8] = "";
  if (length == 0) length = sizeof peer;
  if (channel->server_address_length != 0 || getpeername(channel->sfd, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
    bool v6 = peer.ss_family == AF_INET6;
    const void *ip = v6 ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_addr)
                        : &reinterpret_cast<sockaddr_in *>(&peer)->sin_addr;
    inet_ntop(peer.ss_family, ip, address, INET6_ADDRSTRLEN);
    snprintf(address + strlen(address), 8, " %u",
             ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port : reinterpret_cast<sockaddr_in *>(&peer)->sin_port));
    channel->session_key = std::string(address) + "\n" + request.server_addr + "\n" + (request.use_eca ? "ECA" : "");
    offer_session(channel->ssl, channel->session_key);
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
  tls_result kind = classify_tls_result(ssl, result).result;
  if (kind == tls_result::failed) {
    drain_tls_errors([](unsigned long code, const char *text, const char *function) {
      const char *library = ERR_lib_error_string(code);
      const char *reason = ERR_reason_error_string(code);
      LOG_AT("is_fatal_error", LOG_ERROR, "%s %s %s %s", text, library ? library : "(null)",
             function ? function : "(null)", reason ? reason : "(null)");
    });
    return true;
  }
  if (kind == tls_result::failed_io) {
    int error = errno;
    drain_tls_errors([](unsigned long, const char *text, const char *) {
      LOG_AT("is_fatal_error", LOG_ERROR, "SYSCALL %s", text);
    });
    if (error != 0) {
      char text[ERROR_TEXT_SIZE];
      LOG(LOG_WARN, "I/O error on SSL connection, might be okay - %s", errno_text(error, text));
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
