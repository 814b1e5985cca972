// The task record and its state machine: the request read and the connection
// set up, the handshake, the certificate check and the reply, the relay step,
// and the end. run_task is the one entry for every way a task is driven and
// leave_step its one exit; the worker cycle that calls them is the engine's.
#include "task.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "channel.h"
#include "credentials.h"
#include "log.h"
#include "ocsp.h"
#include "platform.h"
#include "poller.h"
#include "pump.h"
#include "tls_setup.h"

namespace {

std::mutex g_task_number_mutex;
long g_active_task_number = 0;
std::atomic<step_hook_fn> g_step_hook{nullptr};

void raise_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  ++g_active_task_number;
  LOG_AT("update_task_number", LOG_DEBUG, "task pointer %p active task number %ld after %s at %d",
         static_cast<void *>(task), g_active_task_number, reason, line);
}

}  // namespace

sealgate_task::sealgate_task(const connection_info &info, int64_t fd) : request(info), client_fd(fd) {}

sealgate_task::~sealgate_task() {
  end_server_check(check);  // before the channel: the check reads the channel's TLS connection
  delete connecting;
  abandon_build(build, this);
  delete channel;
  if (client_fd != INVALID_CLIENT_FD) close(static_cast<int>(client_fd));
}

void update_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  --g_active_task_number;
  LOG(LOG_DEBUG, "task pointer %p active task number %ld after %s at %d", static_cast<void *>(task),
      g_active_task_number, reason, line);
}

void task_set_step_hook_for_test(step_hook_fn hook) { g_step_hook.store(hook); }

// ---- the exit: registrations, read turn, end ----

namespace {

#define LOG_SUMMARY(level, task, suffix)                                                                           \
  LOG_AT("fsm_worker_thread", level, "task %p server fd %d:%d events %d client fd %d events %d" suffix,            \
         static_cast<void *>(task), (task)->channel->sfd, (task)->channel->local_port, (task)->channel->sfd_events, \
         (task)->channel->cfd, (task)->channel->cfd_events)

// What the state asks the epoll set to watch. Until the reply nothing is
// read from the client, but its leaving is watched for: a client that gives
// up on a server that is slow to connect, to finish its handshake or to pass
// its check takes both connections with it.
relay_masks wanted_registrations(const sealgate_task *task) {
  switch (task->state) {
    case task_state::CONNECT: return {EPOLLRDHUP, task->channel->sfd >= 0 ? EPOLLIN | EPOLLOUT : 0u};
    case task_state::CONTEXT: return {EPOLLRDHUP, 0};
    case task_state::HANDSHAKE: return {EPOLLRDHUP, task->handshake_waits};
    case task_state::CHECK: return {EPOLLRDHUP, 0};  // the server rests; the check watches its own socket
    case task_state::FORWARD: break;
  }
  return wanted_masks(task->channel);
}

// What a step may read from the server's socket: one receive, and only when
// an event of that socket said it is readable; a read on any other cause (a
// client's event, a deadline, the start) could only find it empty.
void begin_step(sealgate_task *task, int fd, uint32_t events) {
  task->client_event = fd >= 0 && fd == task->channel->cfd;
  task->channel->server_reads_left = fd >= 0 && !task->client_event && (events & EPOLLIN) != 0 ? 1 : 0;
}

// Every step leaves through here. A task that goes on has both sockets
// registered as its state asks; a finished one keeps nothing registered
// (closing its sockets at the end of the cycle takes them out of the epoll
// set). A task in FORWARD whose TLS layer holds bytes that its s2c could
// take gets a read turn: no socket event would ever announce them.

task_outcome leave_step(int epoll_fd, sealgate_task *task, bool ended, bool from_socket, int summary_level) {
  connection_channel *ch = task->channel;
  ch->server_reads_left = SERVER_READS_UNLIMITED;
  if (task->state == task_state::FORWARD && ch->client_ended && ch->server_ended) ended = true;
  if (!ended) {
    relay_masks wanted = wanted_registrations(task);
    ended = change_events(wanted.client, ch->cfd_events, epoll_fd, ch->cfd) != 0 ||
            change_events(wanted.server, ch->sfd_events, epoll_fd, ch->sfd) != 0;
  }
  if (ended) {
    ch->cfd_events = 0;
    ch->sfd_events = 0;
  }
  if (from_socket || ended) LOG_SUMMARY(summary_level, task, "");
  return {ended, !ended && read_turn_due(task)};
}

}  // namespace

bool read_turn_due(const sealgate_task *task) {
  return task->state == task_state::FORWARD && tls_bytes_waiting(task->channel);
}

// ---- connection set-up ----

namespace {

// The task for a request's text, or nullptr when it is refused (the client's
// socket is then closed).
sealgate_task *task_for_request(int fd, const char *text) {
  LOG_AT("get_server_info_and_connect", LOG_INFO, "try to parse server info for client fd %d", fd);
  connection_info info;
  if (parse_connection_info(text, info) != 0) {
    LOG_AT("get_server_info_and_connect", LOG_ERROR, "Unable to parse server info from client %d, close it", fd);
    close(fd);
    return nullptr;
  }
  sealgate_task *task = new (std::nothrow) sealgate_task(info, fd);
  if (task == nullptr) {
    LOG_AT("get_server_info_and_connect", LOG_ERROR,
           "Unable to create new sealgate_task object - OOM, wait 5 seconds to continue");
    close(fd);
    usleep(5000 * 1000);
    return nullptr;
  }
  // Creation counts too, so the logged figure is the number of live tasks.
  raise_task_number(task, "create - get_server_info_and_connect", __LINE__);
  return task;
}

}  // namespace

int get_server_info_and_connect(int epoll_fd, int64_t client_fd, task_map &client_tasks, task_map &server_tasks,
                                new_client_map &new_clients) {
  int fd = static_cast<int>(client_fd);
  bool watched = new_clients.count(client_fd) != 0;
  char buffer[REQUEST_BUFFER_SIZE];
  ssize_t received = recv(fd, buffer, REQUEST_BUFFER_SIZE - 1, 0);
  int error = 0;
  char error_text[ERROR_TEXT_SIZE];
  if (received < 0) {
    socket_error_text(error_text, &error);
    errno = error;
    // The next event brings it back; a socket not yet watched is watched by the caller.
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return watched ? 0 : REQUEST_NOT_YET;
  }
  if (watched) {
    new_clients.erase(client_fd);
    change_events(epoll_fd, fd);
  }
  if (received < 0) {
    if (error != 0)
      LOG(LOG_ERROR, "Unable to receive data from client %d - %s", fd, error_text);
    else
      LOG(LOG_ERROR, "Unable to receive data from client %d - errno not set", fd);
    close(fd);
    return -1;
  }
  LOG_AT("fsm_worker_thread", LOG_INFO, "client fd %d data is ready", fd);
  buffer[received] = '\0';
  sealgate_task *task = task_for_request(fd, buffer);
  if (task == nullptr) return -1;
  if (start_task(epoll_fd, task) == nullptr) return -1;
  client_tasks[task->channel->cfd] = task;
  if (task->channel->sfd >= 0) server_tasks[task->channel->sfd] = task;  // none while its name is looked up
  return 0;
}

void client_left_before_request(int64_t client_fd) { task_for_request(static_cast<int>(client_fd), ""); }

namespace {

// The context is there: TLS is set up on the server's socket and the
// handshake starts at once, without waiting for an event (the hello goes out now).
int start_handshake(int epoll_fd, sealgate_task *task, context_progress progress, SSL_CTX *ctx) {
  if (progress == context_progress::building) {
    auto now = std::chrono::steady_clock::now();
    if (task->state != task_state::CONTEXT) task->build_deadline = now + std::chrono::seconds(CONTEXT_WAIT_SECONDS);
    task->next_look = now + std::chrono::milliseconds(CONTEXT_POLL_MS);
    task->state = task_state::CONTEXT;
    return 0;
  }
  abandon_build(task->build, task);
  task->build.reset();
  if (progress == context_progress::failed || init_channel_ssl(task->channel, task->request, ctx) != 0) return -1;
  task->state = task_state::HANDSHAKE;
  task->handshake_waits = EPOLLIN | EPOLLOUT;
  return handshake_server(epoll_fd, task);
}

// The server's socket is connected: the context for the request's
// credentials is found, or built off the loop, before the handshake.
int server_connected(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  const outbound_connect &c = *task->connecting;
  // The address this socket connected to.
  memcpy(&ch->server_address, &c.reached.address, std::min(static_cast<size_t>(c.reached.length), sizeof ch->server_address));
  ch->server_address_length = c.reached.length;
  delete task->connecting;
  task->connecting = nullptr;
  set_no_delay(ch->sfd);
  LOG_AT("start_task", LOG_DEBUG, "task %p server fd:port %d:%d client fd %d for task %p", static_cast<void *>(task),
         ch->sfd, ch->local_port, ch->cfd, static_cast<void *>(task));
  SSL_CTX *ctx = nullptr;
  context_progress progress = find_context(task->request, ch->sfd, task, &ctx, &task->build);
  return start_handshake(epoll_fd, task, progress, ctx);
}

// The build has ended (or a look comes early): the handshake starts, or the
// task ends; so it does when the build has taken too long.
int context_built(int epoll_fd, sealgate_task *task) {
  SSL_CTX *ctx = nullptr;
  connection_channel *ch = task->channel;
  context_progress progress = take_built_context(task->build, task->request, ch->sfd, &ctx);
  if (progress == context_progress::building && std::chrono::steady_clock::now() >= task->build_deadline) {
    LOG(LOG_ERROR, "server fd %d client fd %d - the context was not built within %d seconds", ch->sfd, ch->cfd,
        CONTEXT_WAIT_SECONDS);
    return -1;
  }
  return start_handshake(epoll_fd, task, progress, ctx);
}

// The connect attempt in progress is looked at (on its event or once its
// time is up); a failed one gives way to the next address.
int resume_connect(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  // The connector may close this attempt and open the next one: the socket
  // leaves the epoll set before it can be closed.
  change_events(0, ch->sfd_events, epoll_fd, ch->sfd);
  connect_progress progress = connect_resume(*task->connecting, ch->sfd, ch->local_port);
  if (progress == connect_progress::connected) {
    LOG_AT("connect_server", LOG_DEBUG, "connection %d to server is ready, change state to HANDSHAKE", ch->sfd);
    return server_connected(epoll_fd, task);
  }
  bool waits = progress == connect_progress::in_progress || progress == connect_progress::looking_up;
  return waits ? 0 : -1;  // no address left: logged by the connector
}

}  // namespace

sealgate_task *start_task(int epoll_fd, sealgate_task *task) {
  std::string host, port;
  server_port form = split_server_address(task->request.server_addr, host, port);
  if (form == server_port::default_443)
    LOG(LOG_WARN, "server address %s does not have port appended, using 443 default", task->request.server_addr.c_str());
  if (form == server_port::refused) {  // refused before any connect; logged by the split
    update_task_number(task, "delete - start_task port", __LINE__);
    delete task;
    return nullptr;
  }
  task->connecting = new (std::nothrow) outbound_connect;
  connection_channel *channel =
      task->connecting == nullptr
          ? nullptr
          : new (std::nothrow) connection_channel(static_cast<int>(task->client_fd), INVALID_SOCKET_FD, 0);
  if (channel == nullptr) {
    update_task_number(task, "delete - start_task 0", __LINE__);  // creation was counted
    delete task;  // closes the client socket it still holds
    LOG(LOG_ERROR, "Unable to create connection_channel object - OOM");
    return nullptr;
  }
  // From here the channel alone owns both sockets, so each is closed exactly
  // once; while the task connects, its sfd is the attempt in progress.
  task->channel = channel;
  task->client_fd = INVALID_CLIENT_FD;
  task->connecting->waiter = task;
  // The connect never waits here: an attempt still in progress is watched
  // in CONNECT, with its share of SecondsPerTry as its deadline.
  connect_progress progress = do_connect(*task->connecting, channel->cfd, host.c_str(), port.c_str(),
                                         task->request.seconds_per_try, channel->sfd, channel->local_port);
  if (progress == connect_progress::failed || progress == connect_progress::failed_here) {
    update_task_number(task, "delete - start_task 1", __LINE__);
    delete task;
    return nullptr;
  }
  task->state = task_state::CONNECT;
  begin_step(task, -1, 0);
  bool failed = progress == connect_progress::connected && server_connected(epoll_fd, task) != 0;
  if (leave_step(epoll_fd, task, failed, false, LOG_WARN).finished) {
    update_task_number(task, "delete - start_task 2", __LINE__);
    delete task;
    return nullptr;
  }
  return task;
}

int connect_server(int epoll_fd, uint32_t events, sealgate_task *task) {
  // A connect still in progress is looked at when its socket is writable or
  // in error, and when its time is up (events 0).
  if (events != 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
    LOG(LOG_DEBUG, "connection %d to server is triggered, events %x", task->channel->sfd, events);
    return 0;
  }
  return resume_connect(epoll_fd, task);
}

// ---- handshake, check and reply ----

namespace {

// The check is done (or was skipped): the client gets its reply and the
// relay starts, or the server is refused.
int after_check(sealgate_task *task, bool checked) {
  connection_channel *ch = task->channel;
  if (keep_session(ch->ssl, ch->session_key, checked))
    LOG_AT("finish_handshake", LOG_DEBUG, "server fd %d client fd %d - TLS session resumed", ch->sfd, ch->cfd);
  if (!checked) return -1;
  if (send_client_status(ch->cfd) != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    if (error != 0)
      LOG_AT("finish_handshake", LOG_WARN, "Unable to send status to client fd %d - %d, %s", ch->cfd, error, text);
    else
      LOG_AT("finish_handshake", LOG_WARN, "Unable to send status to client fd %d - errno not set", ch->cfd);
    return -1;
  }
  task->state = task_state::FORWARD;
  relay_from_now_on(ch);
  LOG_AT("finish_handshake", LOG_DEBUG, "server fd %d client fd %d - channel is setup, ready to forward data", ch->sfd,
         ch->cfd);
  return 0;
}

int finish_handshake(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  ch->handshake_done = true;
  if (task->request.skip_verify) return after_check(task, true);
  check_progress progress =
      check_server_certificate(task->request.server_addr, ch->ssl, ch->sfd, epoll_fd, task, &task->check);
  if (progress != check_progress::pending) return after_check(task, progress == check_progress::accepted);
  task->state = task_state::CHECK;
  return 0;
}

// The next step of the revocation check in progress.
int continue_check(sealgate_task *task) {
  ERR_clear_error();
  check_progress progress = continue_server_check(task->check);
  int rc = 0;
  if (progress != check_progress::pending) {
    end_server_check(task->check);
    task->check = nullptr;
    rc = after_check(task, progress == check_progress::accepted);
  }
  ERR_clear_error();
  return rc;
}

void handshake_waits_for(sealgate_task *task, uint32_t mask, int error, const char *text) {
  connection_channel *ch = task->channel;
  if (mask == EPOLLIN) {
    if (error != 0)
      LOG_AT("handshake_server", LOG_WARN,
             "server fd %d handshake fail, want to read, check read, current state %d - errno %d, %s", ch->sfd,
             ch->sfd_events, error, text);
    else
      LOG_AT("handshake_server", LOG_WARN,
             "server fd %d handshake fail, want to read, check read, current state %d - errno not set", ch->sfd,
             ch->sfd_events);
  } else if (error != 0) {
    LOG_AT("handshake_server", LOG_WARN, "server fd %d handshake fail, may be blocking - errno %d, %s", ch->sfd,
           error, text);
  } else {
    LOG_AT("handshake_server", LOG_WARN, "server fd %d handshake fail, may be blocking - errno not set", ch->sfd);
  }
  task->handshake_waits = mask;
}

int handshake_failed(connection_channel *ch, tls_outcome outcome, int error, const char *text) {
  auto log_queued = [ch](const char *kind) {
    drain_tls_errors([ch, kind](unsigned long, const char *line, const char *) {
      LOG_AT("handshake_server", LOG_ERROR, "%s server fd %d %s", kind, ch->sfd, line);
    });
  };
  if (outcome.result == tls_result::failed) {
    log_queued("SSL");
    LOG_AT("handshake_server", LOG_ERROR, "SSL epoll del server fd %d", ch->sfd);
  } else if (outcome.result == tls_result::failed_io) {
    log_queued("SYSCALL");
    if (error != 0)
      LOG_AT("handshake_server", LOG_ERROR, "SYSCALL I/O error on server fd %d, errno %d, %s", ch->sfd, error, text);
    else
      LOG_AT("handshake_server", LOG_ERROR, "SYSCALL I/O error on server fd %d, errno not set", ch->sfd);
  } else if (error != 0) {
    LOG_AT("handshake_server", LOG_ERROR, "Unhandled SSL error %d - errno %d, %s", outcome.code, error, text);
  } else {
    LOG_AT("handshake_server", LOG_ERROR, "Unhandled SSL error %d - errno not set", outcome.code);
  }
  return -1;
}

}  // namespace

int handshake_server(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  ERR_clear_error();
  errno = 0;
  tls_outcome outcome = classify_tls_result(ch->ssl, SSL_connect(ch->ssl));
  int result = 0;
  if (outcome.result == tls_result::done) {
    result = finish_handshake(epoll_fd, task);
  } else {
    char text[ERROR_TEXT_SIZE] = "";
    int error = 0;
    // A step that waits logs only at WARN: its error text is made only when
    // that line is written.
    bool waits = outcome.result == tls_result::wants_read || outcome.result == tls_result::wants_write;
    if (waits && !log_writes(LOG_WARN))
      error = platform_last_socket_error();
    else
      socket_error_text(text, &error);
    errno = error;
    if (outcome.result == tls_result::wants_read)
      handshake_waits_for(task, EPOLLIN, error, text);
    else if (outcome.result == tls_result::wants_write)
      handshake_waits_for(task, EPOLLOUT, error, text);
    else
      result = handshake_failed(ch, outcome, error, text);
  }
  ERR_clear_error();
  return result;
}

// ---- relay and end ----

int forward_data(int, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  LOG(LOG_DEBUG, "server fd %d client fd %d - task forward data", ch->sfd, ch->cfd);
  return task->client_event ? client_io(events, ch) : server_io(events, ch);
}

int end_task(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  LOG(LOG_WARN, "server fd %d client fd %d - task ends", ch->sfd, ch->cfd);
  // Only a worker that stops holds tasks still registered here.
  if (change_events(0, ch->cfd_events, epoll_fd, ch->cfd) != 0) ch->cfd_events = 0;
  if (change_events(0, ch->sfd_events, epoll_fd, ch->sfd) != 0) ch->sfd_events = 0;
  return 0;
}

bool task_deadline(const sealgate_task *task, std::chrono::steady_clock::time_point *when) {
  // (A step that failed may leave the state as it was, without its connector or check.)
  if (task->state == task_state::CONNECT && task->connecting != nullptr) return connect_deadline(*task->connecting, when);
  if (task->state == task_state::CONTEXT) {
    // Another task's build is looked at again shortly; one's own announces its end.
    *when = building_for_another(task->build, task) ? std::min(task->next_look, task->build_deadline)
                                                    : task->build_deadline;
    return true;
  }
  if (task->state != task_state::CHECK || task->check == nullptr) return false;
  *when = server_check_deadline(task->check);
  return true;
}

int task_check_socket(const sealgate_task *task) {
  return task->check != nullptr ? server_check_socket(task->check) : -1;
}

// ---- the entry ----

namespace {

int ready_log_interval() {
  int level = 0;
  if (log_level_configured(&level) && (level == LOG_INFO || level == LOG_ERROR)) return 1000;
  return 100;
}

void log_event(sealgate_task *task, int fd) {
  if (task->state == task_state::FORWARD) {
    if (task->ready_count % static_cast<uint32_t>(ready_log_interval()) == 0)
      LOG_AT("fsm_worker_thread", LOG_INFO, "task %p state %d, fd %d data is ready(%d)", static_cast<void *>(task), 3,
             fd, static_cast<int>(task->ready_count));
    task->ready_count++;
  } else {
    task_state phase = task->state == task_state::CHECK     ? task_state::HANDSHAKE
                       : task->state == task_state::CONTEXT ? task_state::CONNECT
                                                            : task->state;
    int shown = static_cast<int>(phase);
    LOG_AT("fsm_worker_thread", LOG_INFO, "task %p state %d, fd %d data is ready", static_cast<void *>(task), shown, fd);
  }
}

// The client left before its reply could be sent: what sending it would
// have met, the reset the socket holds or a peer that has closed its end.
void client_left_before_reply(const sealgate_task *task) {
  int fd = task->channel->cfd, error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) error = EPIPE;
  char text[ERROR_TEXT_SIZE];
  LOG_AT("finish_handshake", LOG_WARN, "Unable to send status to client fd %d - %d, %s", fd, error,
         errno_text(error, text));
}

}  // namespace

task_outcome run_task(int epoll_fd, sealgate_task *task, int fd, uint32_t events) {
  if (step_hook_fn hook = g_step_hook.load(std::memory_order_relaxed)) hook(task);
  bool from_socket = fd >= 0;
  begin_step(task, fd, events);
  if (from_socket) log_event(task, fd);
  // While a task connects or checks, the sockets on the server's side report
  // their failures (a refused connect, a responder's reset) to the step, which
  // tries the next address or responder. The client's socket reports only
  // its leaving, which before the reply ends the task.
  bool takes_errors = !task->client_event && (task->state == task_state::CONNECT || task->state == task_state::CHECK);
  if (from_socket && (events & (EPOLLIN | EPOLLOUT)) == 0 && !takes_errors) {
    if (task->client_event && task->state != task_state::FORWARD) client_left_before_reply(task);
    return leave_step(epoll_fd, task, true, true, LOG_ERROR);
  }
  bool ended = false;
  switch (task->state) {
    case task_state::CONNECT: ended = connect_server(epoll_fd, events, task) != 0; break;
    case task_state::CONTEXT: ended = !from_socket && context_built(epoll_fd, task) != 0; break;
    case task_state::HANDSHAKE: ended = from_socket && handshake_server(epoll_fd, task) != 0; break;
    case task_state::CHECK: ended = continue_check(task) != 0; break;
    case task_state::FORWARD: if (from_socket) forward_data(epoll_fd, events, task); break;
  }
  return leave_step(epoll_fd, task, ended, from_socket, LOG_WARN);
}
