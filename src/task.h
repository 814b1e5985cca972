// The task record and its state machine: a connection from request to relay
// to end. Every way a task is driven (an event of one of its sockets, a read
// turn, its deadline, the wait for another task's verdict) enters through
// run_task and leaves through one exit that settles both registrations, the
// read turn and whether the task is finished. The worker cycle that calls it
// is the engine's; the modules below see the request and the channel, never
// the task.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>

#include "protocol.h"

struct connection_channel;
struct context_build;
struct server_check;

constexpr int REQUEST_BUFFER_SIZE = 4096;
constexpr int64_t INVALID_CLIENT_FD = -1;

// CONNECT: the server's name is looked up and its addresses tried
// (`connecting`). CONTEXT: the server is connected and the TLS context for
// the request's credentials is built on a helper thread (`build`).
// HANDSHAKE: the TLS handshake runs. CHECK: the handshake is done and the
// server's certificate is checked for revocation (`check`); nothing is read
// from the server meanwhile. FORWARD: the client has its reply and bytes are
// relayed. In log lines CONTEXT shows as CONNECT (1) and CHECK as HANDSHAKE
// (2): each ends the state before it.
enum class task_state : uint8_t { CONNECT = 1, HANDSHAKE = 2, FORWARD = 3, CHECK = 4, CONTEXT = 5 };

struct sealgate_task {
  connection_info request;  // the client's connection request, as parsed
  int64_t client_fd = INVALID_CLIENT_FD;
  task_state state = task_state::CONNECT;
  uint32_t ready_count = 0;
  connection_channel *channel = nullptr;
  bool client_event = false;  // the event being handled came from the client's socket
  // In HANDSHAKE: what the handshake waits for on the server's socket (EPOLLIN or EPOLLOUT).
  uint32_t handshake_waits = 0;
  // In CONNECT: the connector trying the server's addresses (the channel's
  // sfd is the attempt in progress, none while the name is looked up).
  outbound_connect *connecting = nullptr;
  // In CONTEXT: the build of the context on a helper thread (its own, or
  // another task's for the same files), and when waiting for it ends.
  std::shared_ptr<context_build> build;
  std::chrono::steady_clock::time_point build_deadline, next_look;
  // In CHECK: the revocation check, which watches a socket of its own.
  server_check *check = nullptr;

  sealgate_task(const connection_info &info, int64_t fd);
  ~sealgate_task();  // ends the check, the connector and the build, destroys the channel, then closes client_fd if still held
  sealgate_task(const sealgate_task &) = delete;
  sealgate_task &operator=(const sealgate_task &) = delete;
};

using new_client_map = std::unordered_map<int64_t, time_t>;
using task_map = std::unordered_map<int64_t, sealgate_task *>;

// What the worker does with a task once a step has left it.
struct task_outcome {
  bool finished = false;   // delete it at the end of this cycle (its registrations are all 0)
  bool read_turn = false;  // bytes from the server wait inside sealgate that no socket event will
                           // announce: drive it again in the next cycle, as if the server's socket were readable
};

// The one entry: an event of one of the task's sockets (`fd` and its
// `events`; a read turn is EPOLLIN on the server's socket), or, with fd -1
// and events 0, its deadline or the end of work it left to a helper thread.
task_outcome run_task(int epoll_fd, sealgate_task *task, int fd, uint32_t events);

// Whether a read turn given now would find bytes to take (they may have gone
// with another event of the task since the turn was given).
bool read_turn_due(const sealgate_task *task);

// The request step reads the client's request once and starts the task. A
// client socket not yet in the new client map may be tried before its
// request has come: REQUEST_NOT_YET then asks the caller to watch it.
constexpr int REQUEST_NOT_YET = 1;
int get_server_info_and_connect(int epoll_fd, int64_t client_fd, task_map &client_tasks, task_map &server_tasks,
                                new_client_map &new_clients);
// Connects and takes the first steps; the task, or nullptr once it is deleted.
sealgate_task *start_task(int epoll_fd, sealgate_task *task);
// The steps of the states, called by run_task only (0 keeps the task,
// non-zero ends it; forward_data's non-zero says its side has ended).
int connect_server(int epoll_fd, uint32_t events, sealgate_task *task);
int handshake_server(int epoll_fd, sealgate_task *task);
int forward_data(int epoll_fd, uint32_t events, sealgate_task *task);
// The first step of a deletion: both sockets out of the epoll set.
int end_task(int epoll_fd, sealgate_task *task);

void update_task_number(sealgate_task *task, const char *reason, int line);

// A task that waits with a time limit (a connect attempt, the revocation
// check) is driven when that time comes even if none of its sockets reports
// an event. False when only events move it.
bool task_deadline(const sealgate_task *task, std::chrono::steady_clock::time_point *when);
// The socket of the task's revocation check (an OCSP responder's) that the
// worker's maps must lead to the task; -1 when none.
int task_check_socket(const sealgate_task *task);

// A client gone before a byte of its request was read is refused as an
// empty request is: logged, closed, nothing read and nothing opened.
void client_left_before_request(int64_t client_fd);

// Test seam, called only by in-process tests: a function run at the start of
// every step (nullptr: none), which may hold the worker inside the step.
using step_hook_fn = void (*)(const sealgate_task *task);
void task_set_step_hook_for_test(step_hook_fn hook);
