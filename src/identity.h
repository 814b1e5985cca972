// The server's identity, for a request that asks for it ("VerifyServer"):
// the name its certificate must carry and the name sent for it, the line
// that says why a server was not verified, and which OCSP answers count.
// The trust anchors themselves are loaded with the context (tls_setup).
#pragma once

#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <string>

#include "protocol.h"

// For a request with "VerifyServer": the connection verifies the server's
// chain in its handshake (to its context's trust anchors) and checks the
// host of ServerAddr against the certificate's DNS names, or its IP
// addresses for an address literal; a DNS name is sent as the server name
// unless "UseECA" sends "ECA". A failure of the check is logged ("Unable to
// verify server ...") and fails the handshake. Nothing for other requests.
// 0, or -1 after an ERROR line (`sfd` is the server socket it names).
int ask_server_identity(SSL *ssl, const connection_info &request, int sfd);

// Whether the connection verifies its server.
bool verifies_server(const SSL *ssl);

// The key a revocation verdict is kept under: the ServerAddr text, and for a
// connection that verifies its server also its certificate's digest, so that
// such a connection never takes a verdict made from an answer nobody
// verified, nor one about another certificate.
std::string verdict_key(const std::string &server_addr, SSL *ssl);

// parse_response for a connection that verifies its server: 1 revoked, 0
// good, -1 no verdict. An answer counts only when it is signed by the
// certificate's issuer, or by a responder certificate the issuer delegated
// (either verified to the connection's trust anchors), speaks of the
// certificate `request` asked about, and is current; otherwise -1 after an
// ERROR line that names `server` and the library's reason.
int parse_verified_response(OCSP_RESPONSE *response, OCSP_REQUEST *request, SSL *ssl, const std::string &server,
                            int fd);
