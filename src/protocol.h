// The client protocol (connection request and status reply) and the outbound
// connector with its address cache.
#pragma once

#include <cstdint>
#include <string>

// Defaults for keys the request leaves out: the certificate check runs, no
// server name is sent, and connecting may take 30 seconds in all.
constexpr bool DEFAULT_SKIP_VERIFY = false;
constexpr bool DEFAULT_USE_ECA = false;
constexpr int32_t DEFAULT_SECONDS_PER_TRY = 30;

struct connection_info {
  std::string server_addr;
  std::string proxy;
  std::string ca_cert_pem_file;
  std::string key_file;
  std::string cert_file;
  std::string pass_phrase_file;
  bool skip_verify = DEFAULT_SKIP_VERIFY;
  bool use_eca = DEFAULT_USE_ECA;
  int32_t seconds_per_try = DEFAULT_SECONDS_PER_TRY;
};

// 0 when the request is accepted, -1 when it is refused.
int parse_connection_info(const char *text, connection_info &info);

// Sends {"Status": "Continue"} with one send; 0 when all 22 bytes went out.
int send_client_status(int64_t client_fd);

// How many times in a row a failed poll() is started again before the
// attempt on that address counts as failed.
constexpr int CONNECT_POLL_RETRIES = 3;

// Connects to host:port within seconds_per_try (shared among the addresses;
// negative means no limit). 0 with a connected non-blocking socket in
// *out_socket and its local port in *out_local_port; 1 when nothing connected;
// DO_CONNECT_LOCAL_FAILURE when this host could not even try (no descriptor,
// memory or local port), with errno telling which.
constexpr int DO_CONNECT_LOCAL_FAILURE = 2;
int do_connect(int64_t log_fd, const char *host, const char *port, int *out_socket,
               uint16_t *out_local_port, int32_t seconds_per_try);

// Local port of a socket in host byte order, 0 on failure.
uint16_t get_port_from_socket_fd(int64_t log_fd, int socket_fd);

// A relay passes on what it has at once: Nagle's delay would hold back the
// small records of a handshake and of request/response traffic.
void set_no_delay(int fd);

// Empties the address cache (at shutdown, after the workers have stopped).
void clear_address_cache();
// Test support: name resolution goes through this function (getaddrinfo
// unless replaced; the list is released with freeaddrinfo).
struct addrinfo;
using resolver_fn = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
void set_resolver_for_test(resolver_fn resolver);
