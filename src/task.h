// The task record and the steps of its state machine that take a connection
// from request to relay to end. The worker cycle that runs them is the
// engine's; the modules below see the request and the channel, never the task.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

#include "protocol.h"

struct connection_channel;
struct server_check;

constexpr int REQUEST_BUFFER_SIZE = 4096;
constexpr int64_t INVALID_CLIENT_FD = -1;

enum task_state : uint32_t { CONNECT = 1, HANDSHAKE = 2, FORWARD = 3 };

struct sealgate_task {
  connection_info request;  // the client's connection request, as parsed
  int64_t client_fd = INVALID_CLIENT_FD;
  uint32_t state = CONNECT;
  uint32_t ready_count = 0;
  connection_channel *channel = nullptr;
  bool client_event = false;  // the event being handled came from the client's socket
  // While in CONNECT: the connector trying the server's addresses (the
  // channel's sfd is the attempt in progress).
  outbound_connect *connecting = nullptr;
  // While the revocation check runs (HANDSHAKE, the handshake done): the
  // server's socket rests and the check's own socket is watched instead.
  server_check *check = nullptr;

  sealgate_task(const connection_info &info, int64_t fd);
  ~sealgate_task();  // ends the check and the connector, destroys the channel, then closes client_fd if still held
  sealgate_task(const sealgate_task &) = delete;
  sealgate_task &operator=(const sealgate_task &) = delete;
};

using new_client_map = std::unordered_map<int64_t, time_t>;
using task_map = std::unordered_map<int64_t, sealgate_task *>;

// State steps. Each returns 0 to keep the task, non-zero to end it.
// The request step reads the client's request once and starts the task. A
// client socket not yet in the new client map may be tried before its
// request has come: REQUEST_NOT_YET then asks the caller to watch it.
constexpr int REQUEST_NOT_YET = 1;
int get_server_info_and_connect(int epoll_fd, int64_t client_fd, task_map &client_tasks, task_map &server_tasks,
                                new_client_map &new_clients);
sealgate_task *start_task(int epoll_fd, sealgate_task *task);
int connect_server(int epoll_fd, uint32_t events, sealgate_task *task);
int handshake_server(int epoll_fd, sealgate_task *task);
int forward_data(int epoll_fd, uint32_t events, sealgate_task *task);
int end_task(int epoll_fd, sealgate_task *task);

void update_task_number(sealgate_task *task, const char *reason, int line);

// A task that waits for something with a time limit (a connect attempt, the
// revocation check) must be stepped when that time comes even if none of its
// sockets reports an event. False when only events move it.
bool task_deadline(const sealgate_task *task, std::chrono::steady_clock::time_point *when);
// The step for a task whose deadline has come: 0 keeps it, non-zero ends it.
int deadline_step(int epoll_fd, sealgate_task *task);
// The socket of the task's revocation check (an OCSP responder's) that the
// worker's maps must lead to the task; -1 when none.
int task_check_socket(const sealgate_task *task);

// The client left before its reply could be sent: the line that says so.
void client_left_before_reply(const sealgate_task *task);
// A client gone before a byte of its request was read is refused as an
// empty request is: logged, closed, nothing read and nothing opened.
void client_left_before_request(int64_t client_fd);

