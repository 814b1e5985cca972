// The client protocol (connection request and status reply) and the outbound
// connector with its address cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "offload.h"

// Defaults for keys the request leaves out: the certificate check runs, no
// server name is sent, the server's chain and name are not verified, and
// connecting may take 30 seconds in all.
constexpr bool DEFAULT_SKIP_VERIFY = false;
constexpr bool DEFAULT_USE_ECA = false;
constexpr bool DEFAULT_VERIFY_SERVER = false;
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
  // "VerifyServer": the server's chain must lead to the CA file (or the
  // system's trust store) and name the host of server_addr.
  bool verify_server = DEFAULT_VERIFY_SERVER;
  int32_t seconds_per_try = DEFAULT_SECONDS_PER_TRY;
};

// 0 when the request is accepted, -1 when it is refused.
int parse_connection_info(const char *text, connection_info &info);

// Sends {"Status": "Continue"} with one send; 0 when all 22 bytes went out.
int send_client_status(int64_t client_fd);

// How a ServerAddr names the server's port.
enum class server_port { given, default_443, refused };
// Splits a ServerAddr into host and port as users write it: "host:port" at
// the last colon ("a:b:443" is host a:b), "[v6-address]:port", and "host" or
// "[v6-address]" alone with port "443". A decimal port of 0 or above 65535
// (the resolver would connect to its low 16 bits) is refused with an ERROR
// line; any other port text is a service name, left to the resolver.
server_port split_server_address(const std::string &server_addr, std::string &host, std::string &port);

// How many times in a row a failed look at an attempt's socket is taken as
// "not yet" before that attempt counts as failed.
constexpr int CONNECT_POLL_RETRIES = 3;
constexpr size_t CONNECT_ADDRESS_TEXT_SIZE = 128;
constexpr int INVALID_CONNECT_FD = -1;
// The connector's address cache keeps this many addresses that connected;
// past that the oldest is forgotten (about 150 bytes each).
constexpr size_t ADDRESS_CACHE_LIMIT = 4096;

struct name_lookup;

// One outbound connection, made in steps so that no call ever waits: the
// name is looked up (a number at once, anything else on a helper thread),
// then the addresses host:port resolves to are tried in turn, the ones that
// worked last first, each within its share of the time budget. The caller
// owns the socket of the attempt in progress, watches it for writability and
// comes back with connect_resume when it is writable or in error, or when
// the attempt's deadline has passed; while the name is looked up there is no
// socket, and the caller's `waiter` is driven again once the answer has come.
struct outbound_connect {
  struct candidate {
    sockaddr_storage address;
    socklen_t length = 0;
    int family = 0, socktype = 0, protocol = 0;
  };
  int64_t log_fd = -1;  // only named in log lines ("client fd N")
  std::string host, port;
  std::vector<candidate> candidates;  // in the order they are tried
  size_t next = 0;                    // the next candidate to try
  candidate reached;                  // the one connected to, once connected
  int wait_ms = 0;                    // each address's share of the budget; -1: no limit
  std::chrono::steady_clock::time_point deadline;  // of the attempt in progress
  unsigned attempt = 0;               // sockets opened so far: a new number means a new socket
  int result_code = 0, poll_failures = 0, last_error = 0;
  bool failed_here = false;
  char address[CONNECT_ADDRESS_TEXT_SIZE] = "";  // the attempt's address as text
  int32_t seconds_per_try = 0;
  void *waiter = nullptr;                // driven again when the lookup has ended
  std::shared_ptr<name_lookup> lookup;  // the lookup on a helper thread, while it runs

  outbound_connect() = default;
  outbound_connect(const outbound_connect &) = delete;
  outbound_connect &operator=(const outbound_connect &) = delete;
  ~outbound_connect();
};

// connected: *fd is a connected non-blocking socket and *local_port its port.
// in_progress: *fd is the attempt to watch. looking_up: no socket yet, the
// name is looked up off the loop. failed: nothing connected and no socket is
// left open; failed_here when this host could not even try (no descriptor,
// memory or local port), with errno telling which.
enum class connect_progress { connected, in_progress, looking_up, failed, failed_here };

// Resolves host:port (c.waiter set when a lookup may leave the loop), orders
// the addresses and starts the first attempt.
connect_progress do_connect(outbound_connect &c, int64_t log_fd, const char *host, const char *port,
                            int32_t seconds_per_try, int &fd, uint16_t &local_port);
// After an event on *fd or its deadline, or once the lookup has ended: the
// attempt is looked at without waiting; a failed one is closed and the next
// address tried.
connect_progress connect_resume(outbound_connect &c, int &fd, uint16_t &local_port);
// When the attempt in progress runs out of time; false when it has no limit
// (or while the name is looked up: the resolver's own time limits hold).
bool connect_deadline(const outbound_connect &c, std::chrono::steady_clock::time_point *when);

// Local port of a socket in host byte order, 0 on failure.
uint16_t get_port_from_socket_fd(int64_t log_fd, int socket_fd);

// A relay passes on what it has at once: Nagle's delay would hold back the
// small records of a handshake and of request/response traffic.
void set_no_delay(int fd);

// Empties the address cache (at shutdown, after the workers have stopped).
void clear_address_cache();
// Test support: name resolution goes through this function, at once, on the
// calling thread (nullptr: the system's resolver, as the program uses it;
// the list is released with freeaddrinfo).
struct addrinfo;
using resolver_fn = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
void set_resolver_for_test(resolver_fn resolver);
