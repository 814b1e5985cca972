// TLS on the server side: library set-up, the per-connection channel with its
// context and buffers, and the data pump that relays bytes both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <openssl/ssl.h>

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
constexpr int INVALID_SOCKET_FD = -1;

struct connection_channel {
  bool handshake_done = false;
  bool closing = false;
  uint32_t cfd_events = 0;
  uint32_t sfd_events = 0;
  int cfd = INVALID_SOCKET_FD;
  int sfd = INVALID_SOCKET_FD;
  uint16_t local_port = 0;
  SSL_CTX *ssl_ctx = nullptr;
  SSL *ssl = nullptr;
  uint32_t c2s_length = 0;
  uint32_t c2s_sent = 0;
  uint32_t s2c_length = 0;
  uint32_t s2c_sent = 0;
  // The TLS layer's own socket I/O (see "the TLS layer's socket I/O" in tls.cpp): socket
  // reads still allowed in this step (-1: no limit), whether writes gather in
  // out_buffer until the pump flushes them, whether the last read found only
  // part of a record, and the encrypted bytes not yet on the server's socket.
  int server_reads_left = -1;
  bool gather_writes = false;
  bool tls_starved = false;
  uint32_t out_length = 0;
  uint32_t out_sent = 0;
  // The most any buffer has held: how much of the mapping became resident.
  uint32_t buffer_peak = 0;
  // The buffers come last and are left uninitialised: pages never written
  // are never made resident.
  unsigned char c2s_buffer[CHANNEL_BUFFER_SIZE];
  unsigned char s2c_buffer[CHANNEL_BUFFER_SIZE];
  unsigned char out_buffer[TLS_OUT_BUFFER_SIZE];

  connection_channel(int client_fd, int server_fd, uint16_t port) : cfd(client_fd), sfd(server_fd), local_port(port) {}
  ~connection_channel();
  connection_channel(const connection_channel &) = delete;
  connection_channel &operator=(const connection_channel &) = delete;

  // Channels are mapped straight from the kernel, so the untouched parts of
  // their 800 KiB of buffers cost no memory. Allocation never throws.
  // A worker keeps a few lightly used mappings for its next connections.
  static void *operator new(std::size_t size, const std::nothrow_t &) noexcept;
  static void operator delete(connection_channel *channel, std::destroying_delete_t) noexcept;
  static void operator delete(void *pointer, const std::nothrow_t &) noexcept;

  void note_fill(uint32_t length) {
    if (length > buffer_peak) buffer_peak = length;
  }
};

// Builds the TLS context and connection object for the task's server socket.
int init_channel_ssl(connection_channel *channel, sealgate_task *task);
// Releases the kept contexts (at shutdown, after the workers have stopped).
void clear_context_cache();
int passphrase_callback(char *buffer, int size, int rwflag, void *userdata);
bool is_fatal_error(SSL *ssl, int result);

// Data pump. 0 keeps the side going, -1 when that side has ended.
int client_io(int epoll_fd, uint32_t events, sealgate_task *task);
int server_io(int epoll_fd, uint32_t events, sealgate_task *task);
bool handle_ssl_error(int result, uint32_t &new_s, connection_channel *channel);
// True when the library holds bytes from the server (whole records read
// ahead, or decrypted bytes held back while s2c was full) that the server side
// could take now. The socket may never be readable again for them, so the worker
// gives such a channel a read turn of its own in the next cycle.
bool tls_bytes_waiting(const connection_channel *ch);
constexpr int TLS_READ_AHEAD_BYTES = 131072;
// True while encrypted bytes wait in out_buffer for the server's socket.
inline bool tls_output_pending(const connection_channel *ch) { return ch->out_sent < ch->out_length; }

int change_events(uint32_t new_events, uint32_t old_events, int epoll_fd, int fd);
void change_events(int epoll_fd, int fd);
