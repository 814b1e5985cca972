// The TLS library's set-up, and the contexts kept for the credentials
// requests name: their files opened and checked, their sessions kept.
#pragma once

#include <cstdint>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>

#include "log.h"
#include "protocol.h"

// Initialises the library without its configuration file and with error
// strings. 0 on success, -1 on failure (the caller logs and exits).
int tls_library_init();
// The text of the library's first queued error (the queue is left as it is).
std::string first_error_text();

// What the result of a TLS call on a connection asks of its caller: the one
// reading of SSL_get_error.
enum class tls_result : uint8_t {
  done,         // the call did what it was asked
  wants_read,   // call again once the socket is readable
  wants_write,  // call again once the socket is writable
  closed,       // the peer ended the connection with close_notify
  failed,       // a protocol or library failure; its reasons are in the error queue
  failed_io,    // a socket failure, or an end without close_notify; errno may tell
  other,        // any other code the library may give (`code` says which)
};
struct tls_outcome {
  tls_result result;
  int code;  // SSL_get_error's own number, for the lines that name it
};
tls_outcome classify_tls_result(const SSL *ssl, int returned);

// Empties the calling thread's error queue, oldest entry first, handing each
// to `each(code, text, function)` with its text rendered.
template <class Each>
void drain_tls_errors(Each &&each) {
  const char *function = nullptr;
  while (unsigned long code = ERR_get_error_all(nullptr, nullptr, &function, nullptr, nullptr)) {
    char text[ERROR_TEXT_SIZE];
    ERR_error_string_n(code, text, sizeof text);
    each(code, static_cast<const char *>(text), function);
  }
}

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

// Files a request names are refused beyond this size (a CA bundle of a few
// thousand certificates still fits).
constexpr long REQUEST_FILE_LIMIT = 4L << 20;

// The context for a request's credentials, kept from an earlier request while
// its files are the same ones, otherwise loaded from the files (each opened
// once and checked first) and kept. A request with "VerifyServer" gets a
// context of its own whose trust anchors are its CA file (or the system's
// trust store when it names none), also beside a client certificate. A reference the caller frees; null after
// an ERROR line that names the file and why (`sfd` is the server socket the
// line names).
SSL_CTX *kept_context(const connection_info &request, int sfd);
// Releases the kept contexts (at shutdown, after the workers have stopped).
void clear_context_cache();

// The library's passphrase callback: the passphrase file's bytes, at most as
// many as the library asks for; nothing when the request names no file.
int passphrase_callback(char *buffer, int size, int rwflag, void *userdata) noexcept;

// Gives a new connection the session its context keeps under `key` (the
// server's address, the ServerAddr text and the server name), if a usable one.
void offer_session(SSL *ssl, const std::string &key);
// After the handshake: keeps the session the server offered for the next
// connection when `checked` (the revocation check passed, or was skipped);
// otherwise, or when the server declined the kept one, none is left. True
// when this connection resumed a kept session.
bool keep_session(SSL *ssl, const std::string &key, bool checked);
