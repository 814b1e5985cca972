// Revocation checking of a server: the check made in steps, through the OCSP
// client, and the per-server verdict cache in front of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <openssl/ssl.h>
#include <string>

#include "ocsp_client.h"

constexpr int OCSP_CHAIN_PASSES = 3;
constexpr int64_t OCSP_PERIOD_CHECKED = 300;       // verified or not verified
constexpr int64_t OCSP_PERIOD_NO_RESPONDER = 900;  // no responder reached

struct ocsp_status {
  std::mutex mutex;  // guards the three fields below; never held across a wait
  int64_t next_check = 0;
  bool is_valid = false;
  bool checking = false;  // one task is asking the responders now; the others wait for its verdict
  int users = 0;          // tasks checking or waiting now (guarded by the map's lock)
};

constexpr size_t OCSP_CACHE_LIMIT = 4096;  // servers whose verdict is kept
// How often a task that waits for another task's verdict on the same server looks again.
constexpr int OCSP_VERDICT_POLL_MS = 20;

// The revocation check of a server whose handshake has just finished, made
// in steps that never wait: a verdict kept from an earlier check, or the
// OCSP exchanges with the responders the certificate names, driven by the
// events of the check's own socket (registered in the caller's epoll set) and
// its deadline. A check that finds another task checking the same server
// waits for that verdict.
enum class check_progress { accepted, refused, pending };
struct server_check;

// `ssl` has just finished its handshake with the server behind `server_addr`
// (the ServerAddr text the client sent, which keys the verdict) on socket
// `fd`. accepted or refused when decided at once; pending with *check set
// otherwise, which the caller then drives and ends (`waiter` is driven again
// when a responder's name, looked up off the loop, has its answer).
check_progress check_server_certificate(const std::string &server_addr, SSL *ssl, int fd, int epoll_fd,
                                        void *waiter, server_check **check);
// After an event on the check's socket, or once its deadline has passed (an
// early call does no harm).
check_progress continue_server_check(server_check *check);
// The socket the check has registered now (-1: none), and when it must be
// continued even if that socket stays quiet.
int server_check_socket(const server_check *check);
std::chrono::steady_clock::time_point server_check_deadline(const server_check *check);
// Frees the check; one still pending is given up, and the server's verdict
// is left for the next task to make.
void end_server_check(server_check *check);
void clear_ocsp_cache();

// Test seam, called only by in-process tests: the verdict cache's clock
// (seconds since the epoch; nullptr restores the system clock).
using ocsp_clock_fn = int64_t (*)();
void ocsp_set_clock_for_test(ocsp_clock_fn clock);
