// A relayed connection: its relay buffers and their pool, its TLS connection
// object with the socket I/O of our own, and its teardown. What the epoll set
// holds for its sockets is recorded here and changed only by the task's exit.
#pragma once

#include <sys/socket.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>
#include <string>

#include "protocol.h"

constexpr uint32_t CHANNEL_BUFFER_SIZE = 262144;
// Encrypted bytes on their way to the server: room for every record that one
// SSL_write of a full c2s buffer makes (16 KiB of payload plus at most a few
// hundred bytes of header, nonce, tag, MAC and padding each).
constexpr uint32_t TLS_OUT_BUFFER_SIZE = CHANNEL_BUFFER_SIZE + 16 * 1024;
// What one receive from the server's socket may take in at once.
constexpr uint32_t TLS_READ_AHEAD_BYTES = 131072;
constexpr int INVALID_SOCKET_FD = -1;
constexpr int SERVER_READS_UNLIMITED = -1;

// One direction's bytes, linear (not a ring):
//
//   [0, sent) delivered | [sent, length) owed | [length, capacity) room
//
//   0 <= sent <= length <= capacity. Bytes are appended at length only; room
//   comes back when sent reaches length and both return to 0 at once, so a
//   buffer filled to capacity is full even when part of it has been sent.
//   data == nullptr  =>  length == 0: the memory is back in the worker's pool
//   (an empty buffer has all its room whether or not it holds memory).
struct relay_buffer {
  unsigned char *data = nullptr;
  uint32_t capacity = 0;
  uint32_t length = 0;
  uint32_t sent = 0;
  uint32_t touched = 0;  // the deepest fill of this memory: its pages up to here are resident
};

// Memory for a buffer at the moment bytes can arrive, from the calling
// thread's pool; false when none can be had.
bool take_buffer(relay_buffer &b);
// An empty buffer's memory goes back to the pool (`force`: whatever it holds).
void give_back_buffer(relay_buffer &b, bool force = false);
// Returns the pool's memory to the system but for a short connection's worth;
// a worker calls it when idle.
void trim_buffer_pool();

inline uint32_t owed(const relay_buffer &b) {
  assert(b.sent <= b.length && b.length <= b.capacity);
  return b.length - b.sent;
}
inline uint32_t room(const relay_buffer &b) {
  assert(b.sent <= b.length && b.length <= b.capacity);
  return b.capacity - b.length;
}
inline unsigned char *fill_point(relay_buffer &b) { return b.data + b.length; }
inline unsigned char *owed_bytes(relay_buffer &b) { return b.data + b.sent; }
inline void filled(relay_buffer &b, uint32_t n) {
  assert(n <= room(b));
  b.length += n;
  if (b.length > b.touched) b.touched = b.length;
}
// After n owed bytes went out; true when that emptied the buffer (both counters back to 0).
inline bool delivered(relay_buffer &b, uint32_t n) {
  assert(n <= owed(b));
  b.sent += n;
  if (b.sent < b.length) return false;
  b.length = b.sent = 0;
  return true;
}

// What one TLS call waits for before it can go on. A read that waits to write
// and a write that waits to read are the crossings a renegotiation makes.
enum class tls_waits : uint8_t { nothing, readable, writable };

struct connection_channel {
  bool handshake_done = false;
  // One side has ended while the other still has bytes to deliver; that side
  // now only drains, then ends too.
  bool closing = false;
  uint32_t cfd_events = 0;
  uint32_t sfd_events = 0;
  int cfd = INVALID_SOCKET_FD;
  int sfd = INVALID_SOCKET_FD;
  uint16_t local_port = 0;
  SSL_CTX *ssl_ctx = nullptr;
  SSL *ssl = nullptr;
  relay_buffer c2s;  // plain bytes from the client for SSL_write
  relay_buffer s2c;  // plain bytes from SSL_read for the client
  relay_buffer out;  // records SSL_write made that the server's socket has not taken yet
  relay_buffer in;   // bytes received from the server that the library has not taken yet
  // Which side has ended (end of stream, an error, or drained after the other ended).
  bool client_ended = false;
  bool server_ended = false;
  // What SSL_read and SSL_write wait for; the server's event mask follows these.
  tls_waits read_waits = tls_waits::nothing;
  tls_waits write_waits = tls_waits::nothing;
  // The TLS layer's own socket I/O (see "the TLS layer's socket I/O" in
  // channel.cpp): socket reads still allowed in this step (set by the task's
  // entry for each step; SERVER_READS_UNLIMITED outside steps), and whether
  // the records of an SSL_write gather in `out` until the pump sends them.
  int server_reads_left = SERVER_READS_UNLIMITED;
  bool gather_writes = false;
  // Which kept session this connection may resume and replace: the server's
  // address, the ServerAddr text and the server name.
  std::string session_key;
  // The server's address as connected to (length 0: unknown, asked of the socket).
  sockaddr_storage server_address{};
  socklen_t server_address_length = 0;

  connection_channel(int client_fd, int server_fd, uint16_t port)
      : cfd(client_fd), sfd(server_fd), local_port(port), c2s{nullptr, CHANNEL_BUFFER_SIZE},
        s2c{nullptr, CHANNEL_BUFFER_SIZE}, out{nullptr, TLS_OUT_BUFFER_SIZE}, in{nullptr, TLS_READ_AHEAD_BYTES} {}
  ~connection_channel();
  connection_channel(const connection_channel &) = delete;
  connection_channel &operator=(const connection_channel &) = delete;
};

// Builds the TLS connection object for the channel's server socket on `ctx`,
// the context for the request's credentials, whose reference the channel
// takes. 0, or -1 after logging why.
int init_channel_ssl(connection_channel *channel, const connection_info &request, SSL_CTX *ctx);
// After a failed SSL_shutdown: logs why, and says whether the connection is beyond saving.
bool is_fatal_error(SSL *ssl, int result);

// One send of the records waiting in `out`: 1 once it is empty, 0 when the
// socket is full, -1 on a socket error (errno tells which).
int flush_output(connection_channel *ch);
// True while encrypted bytes wait in `out` for the server's socket.
inline bool tls_output_pending(const connection_channel *ch) { return owed(ch->out) > 0; }
