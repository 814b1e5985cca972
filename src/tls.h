// TLS on the server side: library set-up, the per-connection channel with its
// context and buffers, and the data pump that relays bytes both ways.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>
#include <string>

struct sealgate_task;

// Initialises the library without its configuration file and with error
// strings. 0 on success, -1 on failure (the caller logs and exits).
int tls_library_init();

// Owns the TLS library's process-wide set-up for the life of main. OpenSSL 3
// locks itself; what remains is the FIPS request and its providers.
class openssl_setup {
 public:
  openssl_setup();
  ~openssl_setup();
  openssl_setup(const openssl_setup &) = delete;
  openssl_setup &operator=(const openssl_setup &) = delete;

  // Switches FIPS mode on where a FIPS provider is installed; changes nothing
  // where none is. The outcome is neither examined nor reported.
  void request_fips_mode();
  bool fips_enabled() const;

 private:
  struct state;
  state *state_;
};

// Test support: makes the next openssl_setup allocation fail.
void openssl_setup_fail_next_allocation_for_test();

constexpr uint32_t CHANNEL_BUFFER_SIZE = 262144;
// Encrypted bytes on their way to the server: room for every record that one
// SSL_write of a full c2s buffer makes (16 KiB of payload plus at most a few
// hundred bytes of header, nonce, tag, MAC and padding each).
constexpr uint32_t TLS_OUT_BUFFER_SIZE = CHANNEL_BUFFER_SIZE + 16 * 1024;
// What one receive from the server's socket may take in at once.
constexpr uint32_t TLS_READ_AHEAD_BYTES = 131072;
constexpr int INVALID_SOCKET_FD = -1;

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
};

// Memory for a buffer at the moment bytes can arrive, from the calling
// thread's pool; false when none can be had.
bool take_buffer(relay_buffer &b);
// An empty buffer's memory goes back to the pool (`force`: whatever it holds).
void give_back_buffer(relay_buffer &b, bool force = false);
// Returns the pool's memory to the system but for one block; a worker calls it when idle.
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
  // tls.cpp): socket reads still allowed in this step (-1: no limit), and
  // whether the records of an SSL_write gather in `out` until the pump sends them.
  int server_reads_left = -1;
  bool gather_writes = false;
  // Which kept session this connection may resume and replace (server
  // address, ServerAddr text, server name), and the session its handshake
  // made, waiting for the revocation check.
  std::string session_key;
  SSL_SESSION *new_session = nullptr;

  connection_channel(int client_fd, int server_fd, uint16_t port)
      : cfd(client_fd), sfd(server_fd), local_port(port), c2s{nullptr, CHANNEL_BUFFER_SIZE},
        s2c{nullptr, CHANNEL_BUFFER_SIZE}, out{nullptr, TLS_OUT_BUFFER_SIZE}, in{nullptr, TLS_READ_AHEAD_BYTES} {}
  ~connection_channel();
  connection_channel(const connection_channel &) = delete;
  connection_channel &operator=(const connection_channel &) = delete;
};

// Builds the TLS context and connection object for the task's server socket.
int init_channel_ssl(connection_channel *channel, sealgate_task *task);
// After the handshake: keeps the session the server offered for the next
// connection when `checked` (the revocation check passed, or was skipped);
// otherwise, or when the server declined the kept one, none is left. True
// when this connection resumed a kept session.
bool keep_session(connection_channel *channel, bool checked);
// Releases the kept contexts (at shutdown, after the workers have stopped).
void clear_context_cache();
// Files a request names are refused beyond this size (a CA bundle of a few
// thousand certificates still fits).
constexpr long REQUEST_FILE_LIMIT = 4L << 20;
// The library's passphrase callback: the passphrase file's bytes, at most as
// many as the library asks for; nothing when the request names no file.
int passphrase_callback(char *buffer, int size, int rwflag, void *userdata) noexcept;
bool is_fatal_error(SSL *ssl, int result);

// The handshake is done: from now on an idle connection gives its record buffers back.
void relay_from_now_on(connection_channel *ch);

// Data pump. 0 keeps the side going, -1 when that side has ended.
int client_io(int epoll_fd, uint32_t events, sealgate_task *task);
int server_io(int epoll_fd, uint32_t events, sealgate_task *task);
// Logs a failed SSL_read or SSL_write and says what it waits for; true when
// the failure ends the server side.
bool handle_ssl_error(int result, tls_waits &waits, connection_channel *channel);
// True when bytes from the server wait inside sealgate (received but not yet
// taken by the library, or decrypted and held back while s2c was full) that
// the server side could take now, or a new handshake waits to be started. The socket may never be readable again for them, so the worker
// gives such a channel a read turn of its own in the next cycle.
bool tls_bytes_waiting(const connection_channel *ch);
// True while encrypted bytes wait in `out` for the server's socket.
inline bool tls_output_pending(const connection_channel *ch) { return owed(ch->out) > 0; }

int change_events(uint32_t new_events, uint32_t old_events, int epoll_fd, int fd);
void change_events(int epoll_fd, int fd);
