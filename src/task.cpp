// The task record and the steps of its state machine: the request read and
// the connection set up, the handshake with its check and the reply, the
// relay step, and the end. The worker cycle that runs them is the engine's.
#include "task.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <openssl/err.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "channel.h"
#include "log.h"
#include "ocsp.h"
#include "platform.h"
#include "pump.h"
#include "tls_setup.h"

namespace {

std::mutex g_task_number_mutex;
long g_active_task_number = 0;

void raise_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  ++g_active_task_number;
  LOG_AT("update_task_number", LOG_DEBUG, "task pointer %p active task number %ld after %s at %d",
         static_cast<void *>(task), g_active_task_number, reason, line);
}

int modify_registration(int epoll_fd, int op, int fd, uint32_t mask) {
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = mask;
  event.data.fd = fd;
  return epoll_ctl(epoll_fd, op, fd, &event);
}

}  // namespace

sealgate_task::sealgate_task(const connection_info &info, int64_t fd) : request(info), client_fd(fd) {}

sealgate_task::~sealgate_task() {
  end_server_check(check);  // before the channel: the check reads the channel's TLS connection
  delete connecting;
  delete channel;
  if (client_fd != INVALID_CLIENT_FD) close(static_cast<int>(client_fd));
}

void update_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  --g_active_task_number;
  LOG(LOG_DEBUG, "task pointer %p active task number %ld after %s at %d", static_cast<void *>(task),
      g_active_task_number, reason, line);
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
    struct epoll_event event;
    memset(&event, 0, sizeof event);
    while (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &event) != 0) {
      bool interrupted = errno == EINTR;
      LOG_ERRNO(LOG_ERROR, "epoll_ctl error - delete client fd %d", fd);
      if (!interrupted) break;
    }
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
  server_tasks[task->channel->sfd] = task;
  return 0;
}

void client_left_before_request(int64_t client_fd) { task_for_request(static_cast<int>(client_fd), ""); }

namespace {

int first_handshake_step(int epoll_fd, sealgate_task *task);

// The server's socket is connected: TLS is set up on it and the handshake
// starts at once (the socket is watched for what it then waits for). 0, or
// -1 when the task must end.
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
  if (init_channel_ssl(ch, task->request) != 0) return -1;
  task->state = HANDSHAKE;
  return first_handshake_step(epoll_fd, task);
}

// The connect attempt in progress is looked at (on its event or once its
// time is up); a failed one gives way to the next address.
int resume_connect(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  // The connector may close this attempt and open the next one: the socket
  // leaves the epoll set before it can be closed.
  change_events(epoll_fd, ch->sfd);
  ch->sfd_events = 0;
  connect_progress progress = connect_resume(*task->connecting, ch->sfd, ch->local_port);
  if (progress == connect_progress::connected) {
    LOG_AT("connect_server", LOG_DEBUG, "connection %d to server is ready, change state to HANDSHAKE", ch->sfd);
    return server_connected(epoll_fd, task);
  }
  if (progress != connect_progress::in_progress) return -1;  // no address left; logged by the connector
  ch->sfd_events = EPOLLIN | EPOLLOUT;
  if (modify_registration(epoll_fd, EPOLL_CTL_ADD, ch->sfd, ch->sfd_events) != 0) {
    LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d: epoll_ctl error, stop task", ch->sfd, ch->cfd);
    return -1;
  }
  return 0;
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
  // The connect never waits here: an attempt still in progress is watched
  // in CONNECT, with its share of SecondsPerTry as its deadline.
  connect_progress progress = do_connect(*task->connecting, channel->cfd, host.c_str(), port.c_str(),
                                         task->request.seconds_per_try, channel->sfd, channel->local_port);
  if (progress != connect_progress::connected && progress != connect_progress::in_progress) {
    update_task_number(task, "delete - start_task 1", __LINE__);
    delete task;
    return nullptr;
  }
  // Until the reply nothing is read from the client, but its leaving is
  // watched for: a client that gives up on a server that is slow to connect,
  // to finish its handshake or to pass its check takes both connections with it.
  if (modify_registration(epoll_fd, EPOLL_CTL_ADD, channel->cfd, EPOLLRDHUP) != 0) {
    LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d - epoll_ctl error: add client fd", channel->sfd, channel->cfd);
    update_task_number(task, "delete - start_task 2", __LINE__);
    delete task;
    return nullptr;
  }
  channel->cfd_events = EPOLLRDHUP;
  int rc;
  if (progress == connect_progress::connected) {
    rc = server_connected(epoll_fd, task);
  } else {
    task->state = CONNECT;
    channel->sfd_events = EPOLLIN | EPOLLOUT;
    rc = modify_registration(epoll_fd, EPOLL_CTL_ADD, channel->sfd, channel->sfd_events);
    if (rc != 0)
      LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d - epoll_ctl error: add server fd", channel->sfd, channel->cfd);
  }
  if (rc != 0) {
    update_task_number(task, "delete - start_task 2", __LINE__);
    change_events(epoll_fd, channel->cfd);
    change_events(epoll_fd, channel->sfd);
    delete task;
    return nullptr;
  }
  return task;
}

// A connect still in progress: its socket became writable or failed.
int connect_server(int epoll_fd, uint32_t events, sealgate_task *task) {
  if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
    LOG(LOG_DEBUG, "connection %d to server is triggered, events %x", task->channel->sfd, events);
    return 0;
  }
  return resume_connect(epoll_fd, task);
}

// ---- handshake, status and teardown ----

namespace {

void remove_server_after_failure(int epoll_fd, connection_channel *ch) {
  if (ch->sfd_events != 0 && modify_registration(epoll_fd, EPOLL_CTL_DEL, ch->sfd, 0) != 0) {
    int error = errno;
    char text[ERROR_TEXT_SIZE];
    if (error != 0)
      LOG_AT("handshake_server", LOG_ERROR, "epoll_ctl error - remove server fd %d - errno %d, %s", ch->sfd, error,
             errno_text(error, text));
    else
      LOG_AT("handshake_server", LOG_ERROR, "epoll_ctl error - remove server fd %d - errno not set", ch->sfd);
  }
  ch->sfd_events = 0;
}

// The check is done (or was skipped): the client gets its reply and the
// relay starts, or the server is refused.
int after_check(int epoll_fd, sealgate_task *task, bool checked) {
  connection_channel *ch = task->channel;
  if (keep_session(ch->ssl, ch->session_key, checked))
    LOG_AT("finish_handshake", LOG_DEBUG, "server fd %d client fd %d - TLS session resumed", ch->sfd, ch->cfd);
  if (!checked) {
    if (ch->sfd_events != 0 && modify_registration(epoll_fd, EPOLL_CTL_DEL, ch->sfd, 0) != 0)
      LOG_ERRNO(LOG_ERROR, "epoll_ctl error - remove server fd %d", ch->sfd);
    ch->sfd_events = 0;
    return -1;
  }
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
  task->state = FORWARD;
  relay_from_now_on(ch);
  uint32_t old = ch->sfd_events;
  ch->sfd_events = EPOLLIN;
  if (old != EPOLLIN && modify_registration(epoll_fd, old == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, ch->sfd, EPOLLIN) != 0) {
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add server fd %d", ch->sfd);
    return -1;
  }
  if (modify_registration(epoll_fd, EPOLL_CTL_MOD, ch->cfd, EPOLLIN) != 0) {
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add client fd %d", ch->cfd);
    return -1;
  }
  ch->cfd_events = EPOLLIN;
  LOG_AT("finish_handshake", LOG_DEBUG, "server fd %d client fd %d - channel is setup, ready to forward data", ch->sfd,
         ch->cfd);
  return 0;
}

int finish_handshake(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  ch->handshake_done = true;
  if (task->request.skip_verify) return after_check(epoll_fd, task, true);
  check_progress progress =
      check_server_certificate(task->request.server_addr, ch->ssl, ch->sfd, epoll_fd, &task->check);
  if (progress != check_progress::pending) return after_check(epoll_fd, task, progress == check_progress::accepted);
  // Nothing is read from the server while its certificate is checked: its
  // socket rests (a server that speaks first would otherwise wake the worker
  // on every cycle), and the check's own socket is watched instead.
  if (modify_registration(epoll_fd, EPOLL_CTL_DEL, ch->sfd, 0) != 0)
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - remove server fd %d", ch->sfd);
  ch->sfd_events = 0;
  return 0;
}

// The next step of the revocation check in progress.
int continue_check(int epoll_fd, sealgate_task *task) {
  check_progress progress = continue_server_check(task->check);
  if (progress == check_progress::pending) return 0;
  end_server_check(task->check);
  task->check = nullptr;
  return after_check(epoll_fd, task, progress == check_progress::accepted);
}

int handshake_wants(int epoll_fd, connection_channel *ch, uint32_t mask, int error, const char *text) {
  bool read = mask == EPOLLIN;
  if (read) {
    if (error != 0)
      LOG_AT("handshake_server", LOG_WARN,
             "server fd %d handshake fail, want to read, check read, current state %d - errno %d, %s", ch->sfd,
             ch->sfd_events, error, text);
    else
      LOG_AT("handshake_server", LOG_WARN,
             "server fd %d handshake fail, want to read, check read, current state %d - errno not set", ch->sfd,
             ch->sfd_events);
  } else {
    if (error != 0)
      LOG_AT("handshake_server", LOG_WARN, "server fd %d handshake fail, may be blocking - errno %d, %s", ch->sfd,
             error, text);
    else
      LOG_AT("handshake_server", LOG_WARN, "server fd %d handshake fail, may be blocking - errno not set", ch->sfd);
  }
  int rc = 0;
  if (ch->sfd_events != mask &&
      modify_registration(epoll_fd, ch->sfd_events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, ch->sfd, mask) != 0) {
    int failure = errno;
    char failure_text[ERROR_TEXT_SIZE];
    const char *what = read ? "read" : "write";
    if (failure != 0)
      LOG_AT("handshake_server", LOG_ERROR, "epoll_ctl error - change server fd %d to check %s ready - errno %d, %s",
             ch->sfd, what, failure, errno_text(failure, failure_text));
    else
      LOG_AT("handshake_server", LOG_ERROR, "epoll_ctl error - change server fd %d to check %s ready - errno not set",
             ch->sfd, what);
    rc = -1;
  }
  ch->sfd_events = mask;
  return rc;
}

void log_queued_errors(const char *prefix, int fd) {
  while (unsigned long code = ERR_get_error()) {
    char text[ERROR_TEXT_SIZE];
    ERR_error_string_n(code, text, sizeof text);
    LOG_AT("handshake_server", LOG_ERROR, "%s server fd %d %s", prefix, fd, text);
  }
}

int handshake_failed(int epoll_fd, connection_channel *ch, int ssl_error, int error, const char *text) {
  if (ssl_error == SSL_ERROR_SSL) {
    log_queued_errors("SSL", ch->sfd);
    LOG_AT("handshake_server", LOG_ERROR, "SSL epoll del server fd %d", ch->sfd);
  } else if (ssl_error == SSL_ERROR_SYSCALL) {
    log_queued_errors("SYSCALL", ch->sfd);
    if (error != 0)
      LOG_AT("handshake_server", LOG_ERROR, "SYSCALL I/O error on server fd %d, errno %d, %s", ch->sfd, error, text);
    else
      LOG_AT("handshake_server", LOG_ERROR, "SYSCALL I/O error on server fd %d, errno not set", ch->sfd);
  } else if (error != 0) {
    LOG_AT("handshake_server", LOG_ERROR, "Unhandled SSL error %d - errno %d, %s", ssl_error, error, text);
  } else {
    LOG_AT("handshake_server", LOG_ERROR, "Unhandled SSL error %d - errno not set", ssl_error);
  }
  remove_server_after_failure(epoll_fd, ch);
  return -1;
}

}  // namespace

int handshake_server(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  ERR_clear_error();
  if (task->check != nullptr) {
    int rc = continue_check(epoll_fd, task);
    ERR_clear_error();
    return rc;
  }
  errno = 0;
  int rc = SSL_connect(ch->ssl);
  int result;
  if (rc == 1) {
    result = finish_handshake(epoll_fd, task);
  } else {
    int ssl_error = SSL_get_error(ch->ssl, rc);
    char text[ERROR_TEXT_SIZE] = "";
    int error = 0;
    // A step that waits logs only at WARN: its error text is made only when
    // that line is written.
    bool waits = ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE;
    if (waits && !log_writes(LOG_WARN))
      error = platform_last_socket_error();
    else
      socket_error_text(text, &error);
    errno = error;
    if (ssl_error == SSL_ERROR_WANT_READ)
      result = handshake_wants(epoll_fd, ch, EPOLLIN, error, text);
    else if (ssl_error == SSL_ERROR_WANT_WRITE)
      result = handshake_wants(epoll_fd, ch, EPOLLOUT, error, text);
    else
      result = handshake_failed(epoll_fd, ch, ssl_error, error, text);
  }
  ERR_clear_error();
  return result;
}

namespace {

// The first handshake step follows the connect without waiting for an
// event: the hello goes out at once, and the server's answer cannot be there
// yet, so no read is tried.
int first_handshake_step(int epoll_fd, sealgate_task *task) {
  task->channel->server_reads_left = 0;
  int rc = handshake_server(epoll_fd, task);
  task->channel->server_reads_left = -1;
  return rc;
}

}  // namespace

int forward_data(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  LOG(LOG_DEBUG, "server fd %d client fd %d - task forward data", ch->sfd, ch->cfd);
  if (!task->client_event) return server_io(epoll_fd, events, ch);
  return client_io(epoll_fd, events, ch);
}

int end_task(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  LOG(LOG_WARN, "server fd %d client fd %d - task ends", ch->sfd, ch->cfd);
  const char *sides[2] = {"client", "server"};
  uint32_t *masks[2] = {&ch->cfd_events, &ch->sfd_events};
  int fds[2] = {ch->cfd, ch->sfd};
  for (int i = 0; i < 2; i++) {
    if (*masks[i] == 0) continue;
    if (modify_registration(epoll_fd, EPOLL_CTL_DEL, fds[i], 0) != 0) {
      int error = errno;
      char text[ERROR_TEXT_SIZE];
      if (error != 0)
        LOG(LOG_ERROR, "epoll_ctl error - delete %s fd, server fd %d client fd %d - errno %d, %s", sides[i], ch->sfd,
            ch->cfd, error, errno_text(error, text));
      else
        LOG(LOG_ERROR, "epoll_ctl error - delete %s fd, server fd %d client fd %d - errno not set", sides[i], ch->sfd,
            ch->cfd);
    }
    *masks[i] = 0;
  }
  return 0;
}


bool task_deadline(const sealgate_task *task, std::chrono::steady_clock::time_point *when) {
  if (task->connecting != nullptr && task->state == CONNECT) return connect_deadline(*task->connecting, when);
  if (task->check == nullptr) return false;
  *when = server_check_deadline(task->check);
  return true;
}

int deadline_step(int epoll_fd, sealgate_task *task) {
  if (task->state == CONNECT && task->connecting != nullptr) return resume_connect(epoll_fd, task);
  if (task->check != nullptr) return handshake_server(epoll_fd, task);
  return 0;
}

int task_check_socket(const sealgate_task *task) {
  return task->check != nullptr ? server_check_socket(task->check) : -1;
}

void client_left_before_reply(const sealgate_task *task) {
  // What sending the reply would have met: the reset the socket holds, or a
  // peer that has closed its end.
  int fd = task->channel->cfd, error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) error = EPIPE;
  char text[ERROR_TEXT_SIZE];
  LOG_AT("finish_handshake", LOG_WARN, "Unable to send status to client fd %d - %d, %s", fd, error,
         errno_text(error, text));
}
