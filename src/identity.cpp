// The server's identity for a request that asks for it: the TLS library
// verifies the chain and the name inside the handshake, this module says
// which name and why a server failed; and it judges OCSP answers for such
// connections. The trust anchors are the context's (tls_setup); the
// handshake and the revocation check that call in here are others'.
#include "identity.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <new>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "log.h"

namespace {

// How far an OCSP answer's times may be off our clock.
constexpr long OCSP_ANSWER_LEEWAY_SECONDS = 300;

// What the refusal line names, kept with the connection.
struct identity_note {
  std::string server;
  int fd;
};

void free_note(void *, void *note, CRYPTO_EX_DATA *, int, long, void *) noexcept {
  delete static_cast<identity_note *>(note);
}

int note_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, free_note);
  return index;
}

// The library's verify callback: the first failure the check finds ends the
// handshake, with the line that says why.
int refuse_unverified(int ok, X509_STORE_CTX *store) noexcept {
  if (ok == 1) return 1;
  auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const auto *note = ssl != nullptr ? static_cast<const identity_note *>(SSL_get_ex_data(ssl, note_index())) : nullptr;
  try {
    LOG_AT("verify_server", LOG_ERROR, "Unable to verify server %s fd %d - %s", note ? note->server.c_str() : "?",
           note ? note->fd : -1, X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
  } catch (...) {
    // no line, the handshake still fails
  }
  return 0;
}

// Letters, digits, hyphens, dots (and underscores, which some hosts carry):
// nothing else is checked against a certificate or sent as the server name.
bool is_dns_name(const std::string &host) {
  for (unsigned char c : host)
    if (!isalnum(c) && c != '-' && c != '.' && c != '_') return false;
  return !host.empty();
}

bool is_address_literal(const std::string &host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The library's first queued error, or `fallback` when none is queued.
std::string queued_reason(const char *fallback) {
  char text[ERROR_TEXT_SIZE];
  unsigned long code = ERR_peek_error();
  if (code == 0) return fallback;
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

int ask_server_identity(SSL *ssl, const connection_info &request, int sfd) {
  if (!request.verify_server) return 0;
  std::string host, port;
  split_server_address(request.server_addr, host, port);  // "[v6-address]:port" gives the address
  const char *why = nullptr;
  auto *note = new (std::nothrow) identity_note{request.server_addr, sfd};
  X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
  bool literal = is_address_literal(host);
  if (note == nullptr || SSL_set_ex_data(ssl, note_index(), note) != 1) {
    delete note;
    why = "OOM";
  } else if (!literal && !is_dns_name(host)) {
    why = "the host is neither a DNS name nor an IP address";
  } else if (literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1
                     : X509_VERIFY_PARAM_set1_host(param, host.data(), host.size()) != 1) {
    why = "the host name cannot be checked";
  } else if (!literal && !request.use_eca && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
    why = "the host name cannot be sent";  // longer than 255 bytes
  }
  if (why != nullptr) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "Unable to verify server %s fd %d - %s", request.server_addr.c_str(), sfd,
           why);
    ERR_clear_error();
    return -1;
  }
  // A wildcard stands for one whole label, the leftmost ("*.example.org", never "w*.example.org").
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  SSL_set_verify(ssl, SSL_VERIFY_PEER, refuse_unverified);
  return 0;
}

bool verifies_server(const SSL *ssl) { return (SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) != 0; }

std::string verdict_key(const std::string &server_addr, SSL *ssl) {
  if (!verifies_server(ssl)) return server_addr;
  std::string key = server_addr + "\nverified";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509 *peer = SSL_get0_peer_certificate(ssl);
  if (peer != nullptr && X509_digest(peer, EVP_sha256(), digest, &length) == 1) {
    for (unsigned int i = 0; i < length; i++) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", digest[i]);
      key += hex;
    }
  }
  ERR_clear_error();
  return key;
}

int parse_verified_response(OCSP_RESPONSE *response, OCSP_REQUEST *request, SSL *ssl, const std::string &server,
                            int fd) {
  ERR_clear_error();
  OCSP_BASICRESP *basic = OCSP_response_get1_basic(response);
  OCSP_ONEREQ *asked = request != nullptr ? OCSP_request_onereq_get0(request, 0) : nullptr;
  OCSP_CERTID *id = asked != nullptr ? OCSP_onereq_get0_id(asked) : nullptr;
  X509_STORE *anchors = SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl));
  int status = V_OCSP_CERTSTATUS_UNKNOWN, reason = 0;
  ASN1_GENERALIZEDTIME *revoked_at = nullptr, *this_update = nullptr, *next_update = nullptr;
  std::string why;
  // The signer is looked for among the certificates of the answer and of the
  // server's chain; its own chain must lead to the anchors, and it must be
  // the issuer of the certificate the answer speaks of, or hold the issuer's
  // delegation (the OCSP signing purpose, in a certificate the issuer signed).
  if (basic == nullptr || id == nullptr) {
    why = queued_reason("no basic response");
  } else if (OCSP_basic_verify(basic, SSL_get_peer_cert_chain(ssl), anchors, 0) != 1) {
    why = queued_reason("signature not verified");
  } else if (OCSP_resp_find_status(basic, id, &status, &reason, &revoked_at, &this_update, &next_update) != 1) {
    why = "no answer about the certificate asked about";
  } else if (OCSP_check_validity(this_update, next_update, OCSP_ANSWER_LEEWAY_SECONDS, -1) != 1) {
    why = queued_reason("out of date");
  }
  OCSP_BASICRESP_free(basic);
  ERR_clear_error();
  if (!why.empty()) {
    LOG_AT("check_cert_OCSP", LOG_ERROR, "The OCSP answer for server %s fd %d does not count - %s", server.c_str(), fd,
           why.c_str());
    return -1;
  }
  if (status == V_OCSP_CERTSTATUS_GOOD) return 0;
  return status == V_OCSP_CERTSTATUS_REVOKED ? 1 : -1;
}
