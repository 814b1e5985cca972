// The task record and the steps of its state machine that take a connection
// from request to relay to end. The worker cycle that runs them is the
// engine's; the modules below see the request and the channel, never the task.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

#include "protocol.h"

struct connection_channel;

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

  sealgate_task(const connection_info &info, int64_t fd);
  ~sealgate_task();  // destroys the channel, then closes client_fd if still held
  sealgate_task(const sealgate_task &) = delete;
  sealgate_task &operator=(const sealgate_task &) = delete;
};

using new_client_map = std::unordered_map<int64_t, time_t>;
using task_map = std::unordered_map<int64_t, sealgate_task *>;

// State steps. Each returns 0 to keep the task, non-zero to end it.
int get_server_info_and_connect(int epoll_fd, int64_t client_fd, task_map &client_tasks, task_map &server_tasks,
                                new_client_map &new_clients);
sealgate_task *start_task(int epoll_fd, sealgate_task *task);
int connect_server(int epoll_fd, uint32_t events, sealgate_task *task);
int handshake_server(int epoll_fd, sealgate_task *task);
int forward_data(int epoll_fd, uint32_t events, sealgate_task *task);
int end_task(int epoll_fd, sealgate_task *task);

void update_task_number(sealgate_task *task, const char *reason, int line);

// Splits "host:port" at the last colon; without a colon the port is "443".
bool split_server_address(const std::string &server_addr, std::string &host, std::string &port);
