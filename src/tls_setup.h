// The TLS library's set-up, the one reading of a TLS call's result and of the
// error queue, and the sessions kept for the next connection to a server.
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

// Sets a new context up to keep its sessions (offer_session, keep_session).
void prepare_session_keeping(SSL_CTX *ctx);

// Gives a new connection the session its context keeps under `key` (the
// server's address, the ServerAddr text and the server name), if a usable one.
void offer_session(SSL *ssl, const std::string &key);
// After the handshake: keeps the session the server offered for the next
// connection when `checked` (the revocation check passed, or was skipped);
// otherwise, or when the server declined the kept one, none is left. True
// when this connection resumed a kept session.
bool keep_session(SSL *ssl, const std::string &key, bool checked);
