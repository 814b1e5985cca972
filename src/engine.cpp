#include "engine.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <openssl/err.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_set>

#include "listener.h"
#include "log.h"
#include "ocsp.h"
#include "platform.h"
#include "tls.h"

namespace {

std::mutex g_task_number_mutex;
long g_active_task_number = 0;

void raise_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  ++g_active_task_number;
  LOG_AT("update_task_number", LOG_DEBUG, "task pointer %p active task number %ld after %s at %d",
         static_cast<void *>(task), g_active_task_number, reason, line);
}

}  // namespace

sealgate_task::sealgate_task(const connection_info &info, int64_t fd)
    : server_addr(info.server_addr),
      proxy(info.proxy),
      ca_cert_pem_file(info.ca_cert_pem_file),
      key_file(info.key_file),
      cert_file(info.cert_file),
      pass_phrase_file(info.pass_phrase_file),
      skip_verify(info.skip_verify),
      use_eca(info.use_eca),
      seconds_per_try(info.seconds_per_try),
      client_fd(fd) {}

sealgate_task::~sealgate_task() {
  delete channel;
  if (client_fd != INVALID_CLIENT_FD) close(static_cast<int>(client_fd));
}

void update_task_number(sealgate_task *task, const char *reason, int line) {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  --g_active_task_number;
  LOG(LOG_DEBUG, "task pointer %p active task number %ld after %s at %d", static_cast<void *>(task),
      g_active_task_number, reason, line);
}

long active_task_number() {
  std::lock_guard<std::mutex> guard(g_task_number_mutex);
  return g_active_task_number;
}

bool split_server_address(const std::string &server_addr, std::string &host, std::string &port) {
  size_t colon = server_addr.rfind(':');
  if (colon == std::string::npos) {
    host = server_addr;
    port = "443";
    return false;
  }
  host = server_addr.substr(0, colon);
  port = server_addr.substr(colon + 1);
  return true;
}

// ---- connection set-up ----

int get_server_info_and_connect(int epoll_fd, int64_t client_fd, task_map &client_tasks, task_map &server_tasks,
                                new_client_map &new_clients) {
  int fd = static_cast<int>(client_fd);
  char buffer[REQUEST_BUFFER_SIZE];
  ssize_t received = recv(fd, buffer, REQUEST_BUFFER_SIZE - 1, 0);
  int error = 0;
  char error_text[ERROR_TEXT_SIZE];
  if (received < 0) {
    socket_error_text(error_text, &error);
    errno = error;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return 0;  // the next event brings it back
  }
  new_clients.erase(client_fd);
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  while (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &event) != 0) {
    bool interrupted = errno == EINTR;
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - delete client fd %d", fd);
    if (!interrupted) break;
  }
  if (received < 0) {
    if (error != 0)
      LOG(LOG_ERROR, "Unable to receive data from client %d - %s", fd, error_text);
    else
      LOG(LOG_ERROR, "Unable to receive data from client %d - errno not set", fd);
    close(fd);
    return -1;
  }
  buffer[received] = '\0';
  LOG(LOG_INFO, "try to parse server info for client fd %d", fd);
  connection_info info;
  if (parse_connection_info(buffer, info) != 0) {
    LOG(LOG_ERROR, "Unable to parse server info from client %d, close it", fd);
    close(fd);
    return -1;
  }
  sealgate_task *task = new (std::nothrow) sealgate_task(info, client_fd);
  if (task == nullptr) {
    LOG(LOG_ERROR, "Unable to create new sealgate_task object - OOM, wait 5 seconds to continue");
    close(fd);
    usleep(5000 * 1000);
    return -1;
  }
  // Creation counts too, so the logged figure is the number of live tasks.
  raise_task_number(task, "create - get_server_info_and_connect", __LINE__);
  if (start_task(epoll_fd, task) == nullptr) return -1;
  client_tasks[task->channel->cfd] = task;
  server_tasks[task->channel->sfd] = task;
  return 0;
}

sealgate_task *start_task(int epoll_fd, sealgate_task *task) {
  std::string host, port;
  if (!split_server_address(task->server_addr, host, port))
    LOG(LOG_WARN, "server address %s does not have port appended, using 443 default", task->server_addr.c_str());
  int server_fd = INVALID_SOCKET_FD;
  uint16_t local_port = 0;
  if (do_connect(task->client_fd, host.c_str(), port.c_str(), &server_fd, &local_port, task->seconds_per_try) != 0) {
    update_task_number(task, "delete - start_task 1", __LINE__);
    delete task;
    return nullptr;
  }
  set_no_delay(server_fd);
  LOG(LOG_DEBUG, "task %p server fd:port %d:%d client fd %d for task %p", static_cast<void *>(task), server_fd,
      local_port, static_cast<int>(task->client_fd), static_cast<void *>(task));
  connection_channel *channel =
      new (std::nothrow) connection_channel(static_cast<int>(task->client_fd), server_fd, local_port);
  if (channel == nullptr) {
    close(server_fd);
    update_task_number(task, "delete - start_task 0", __LINE__);  // creation was counted
    delete task;
    LOG(LOG_ERROR, "Unable to create connection_channel object - OOM");
    return nullptr;
  }
  // From here the channel alone owns both sockets, so each is closed exactly once.
  task->channel = channel;
  task->client_fd = INVALID_CLIENT_FD;
  if (init_channel_ssl(channel, task) != 0) {
    update_task_number(task, "delete - start_task 2", __LINE__);
    delete task;
    return nullptr;
  }
  task->state = HANDSHAKE;
  channel->sfd_events = EPOLLIN | EPOLLOUT;
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = channel->sfd_events;
  event.data.fd = channel->sfd;
  if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, channel->sfd, &event) != 0) {
    LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d - epoll_ctl error: add server fd", channel->sfd, channel->cfd);
    update_task_number(task, "delete - start_task 2", __LINE__);
    delete task;
    return nullptr;
  }
  // Until the reply nothing is read from the client, but its leaving is
  // watched for: a client that gives up on a server that never finishes its
  // handshake takes both connections with it.
  event.events = EPOLLRDHUP;
  event.data.fd = channel->cfd;
  if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, channel->cfd, &event) != 0) {
    LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d - epoll_ctl error: add client fd", channel->sfd, channel->cfd);
    update_task_number(task, "delete - start_task 2", __LINE__);
    change_events(epoll_fd, channel->sfd);
    delete task;
    return nullptr;
  }
  channel->cfd_events = EPOLLRDHUP;
  return task;
}

// The connector returns only once connected, so tasks start in HANDSHAKE;
// this step serves a connection still in progress should one ever be registered.
int connect_server(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  if ((events & EPOLLOUT) == 0) {
    LOG(LOG_DEBUG, "connection %d to server is triggered, events %x", ch->sfd, events);
    return 0;
  }
  LOG(LOG_DEBUG, "connection %d to server is ready, change state to HANDSHAKE", ch->sfd);
  if (init_channel_ssl(ch, task) != 0) return -1;
  ch->sfd_events = EPOLLIN | EPOLLOUT;
  task->state = HANDSHAKE;
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = ch->sfd_events;
  event.data.fd = ch->sfd;
  if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, ch->sfd, &event) != 0) {
    LOG_ERRNO(LOG_ERROR, "server fd %d client fd %d: epoll_ctl error, stop task", ch->sfd, ch->cfd);
    return -1;
  }
  return 0;
}

// ---- handshake, status and teardown ----

namespace {

int modify_registration(int epoll_fd, int op, int fd, uint32_t mask) {
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = mask;
  event.data.fd = fd;
  return epoll_ctl(epoll_fd, op, fd, &event);
}

void remove_server_after_failure(int epoll_fd, connection_channel *ch) {
  if (modify_registration(epoll_fd, EPOLL_CTL_DEL, ch->sfd, 0) != 0) {
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

int finish_handshake(int epoll_fd, sealgate_task *task) {
  connection_channel *ch = task->channel;
  ch->handshake_done = true;
  bool checked = task->skip_verify || check_server_certificate(task) == 0;
  if (keep_session(ch, checked))
    LOG(LOG_DEBUG, "server fd %d client fd %d - TLS session resumed", ch->sfd, ch->cfd);
  if (!checked) {
    if (modify_registration(epoll_fd, EPOLL_CTL_DEL, ch->sfd, 0) != 0)
      LOG_ERRNO(LOG_ERROR, "epoll_ctl error - remove server fd %d", ch->sfd);
    ch->sfd_events = 0;
    return -1;
  }
  if (send_client_status(ch->cfd) != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    if (error != 0)
      LOG(LOG_WARN, "Unable to send status to client fd %d - %d, %s", ch->cfd, error, text);
    else
      LOG(LOG_WARN, "Unable to send status to client fd %d - errno not set", ch->cfd);
    return -1;
  }
  task->state = FORWARD;
  relay_from_now_on(ch);
  ch->sfd_events = EPOLLIN;
  if (modify_registration(epoll_fd, EPOLL_CTL_MOD, ch->sfd, EPOLLIN) != 0) {
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add server fd %d", ch->sfd);
    return -1;
  }
  if (modify_registration(epoll_fd, EPOLL_CTL_MOD, ch->cfd, EPOLLIN) != 0) {
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add client fd %d", ch->cfd);
    return -1;
  }
  ch->cfd_events = EPOLLIN;
  LOG(LOG_DEBUG, "server fd %d client fd %d - channel is setup, ready to forward data", ch->sfd, ch->cfd);
  return 0;
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
  if (ch->sfd_events != mask && modify_registration(epoll_fd, EPOLL_CTL_MOD, ch->sfd, mask) != 0) {
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
  errno = 0;
  int rc = SSL_connect(ch->ssl);
  int result;
  if (rc == 1) {
    result = finish_handshake(epoll_fd, task);
  } else {
    int ssl_error = SSL_get_error(ch->ssl, rc);
    char text[ERROR_TEXT_SIZE];
    int error = 0;
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

int forward_data(int epoll_fd, uint32_t events, sealgate_task *task) {
  connection_channel *ch = task->channel;
  LOG(LOG_DEBUG, "server fd %d client fd %d - task forward data", ch->sfd, ch->cfd);
  if (!task->client_event) return server_io(epoll_fd, events, task);
  return client_io(epoll_fd, events, task);
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

// ---- the worker ----

namespace {

struct worker {
  int epoll_fd = -1;
  // Tasks whose TLS layer holds server bytes that no readiness event will
  // announce: each gets a read turn in the next cycle.
  std::vector<sealgate_task *> tls_waiting;
  std::vector<sealgate_task *> read_turns;  // this cycle's, swapped with tls_waiting
  new_client_map new_clients;
  task_map client_tasks;
  task_map server_tasks;
  struct epoll_event events[WORKER_MAX_EVENTS];
};

#define LOG_SUMMARY(level, task, suffix)                                                                      \
  LOG_AT("fsm_worker_thread", level, "task %p server fd %d:%d events %d client fd %d events %d" suffix,       \
         static_cast<void *>(task), (task)->channel->sfd, (task)->channel->local_port, (task)->channel->sfd_events, \
         (task)->channel->cfd, (task)->channel->cfd_events)

void remove_side(int epoll_fd, int fd, uint32_t &mask) {
  if (mask == 0) return;
  change_events(epoll_fd, fd);
  mask = 0;
}

void register_new_client(worker &w, int64_t client, int &check_size) {
  // Nothing is read from a client whose user may not use sealgate.
  if (!client_allowed(static_cast<int>(client))) {
    close(static_cast<int>(client));
    return;
  }
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = EPOLLIN;
  event.data.fd = static_cast<int>(client);
  while (epoll_ctl(w.epoll_fd, EPOLL_CTL_ADD, static_cast<int>(client), &event) != 0) {
    bool interrupted = errno == EINTR;
    LOG_ERRNO(LOG_ERROR, "epoll_ctl ADD error fd %d", static_cast<int>(client));
    if (!interrupted) {
      close(static_cast<int>(client));
      return;
    }
  }
  w.new_clients[client] = time(nullptr);
  check_size++;
}

int ready_log_interval() {
  int level = 0;
  if (log_level_configured(&level) && (level == LOG_INFO || level == LOG_ERROR)) return 1000;
  return 100;
}

void log_event(sealgate_task *task, int fd) {
  if (task->state == FORWARD) {
    if (task->ready_count % static_cast<uint32_t>(ready_log_interval()) == 0)
      LOG_AT("fsm_worker_thread", LOG_INFO, "task %p state %d, fd %d data is ready(%d)", static_cast<void *>(task), 3,
             fd, static_cast<int>(task->ready_count));
    task->ready_count++;
  } else {
    LOG_AT("fsm_worker_thread", LOG_INFO, "task %p state %d, fd %d data is ready", static_cast<void *>(task),
           static_cast<int>(task->state), fd);
  }
}

int run_step(int epoll_fd, uint32_t events, sealgate_task *task) {
  switch (task->state) {
    case CONNECT: return connect_server(epoll_fd, events, task);
    case FORWARD: return forward_data(epoll_fd, events, task);
    default: {
      // A handshake step reads the socket only when the event says there is
      // something to read, and then once: the read that would only find the
      // socket empty is left out, and the library waits for readability.
      task->channel->server_reads_left = (events & EPOLLIN) != 0 ? 1 : 0;
      int rc = handshake_server(epoll_fd, task);
      task->channel->server_reads_left = -1;
      return rc;
    }
  }
}

void dispatch(worker &w, sealgate_task *task, uint32_t events, std::unordered_set<sealgate_task *> &delete_set) {
  connection_channel *ch = task->channel;
  if (task->state > FORWARD) {
    if (ch->sfd_events != 0) {
      remove_side(w.epoll_fd, ch->sfd, ch->sfd_events);
      LOG_SUMMARY(LOG_ERROR, task, "");
    }
    if (ch->cfd_events != 0) {
      remove_side(w.epoll_fd, ch->cfd, ch->cfd_events);
      LOG_SUMMARY(LOG_DEBUG, task, "");
    }
    LOG_SUMMARY(LOG_WARN, task, " - invalid state");
  } else if ((events & (EPOLLIN | EPOLLOUT)) == 0) {
    remove_side(w.epoll_fd, ch->sfd, ch->sfd_events);
    remove_side(w.epoll_fd, ch->cfd, ch->cfd_events);
    LOG_SUMMARY(LOG_ERROR, task, "");
  } else if (run_step(w.epoll_fd, events, task) == 0) {
    LOG_SUMMARY(LOG_WARN, task, "");
    if (task->state == FORWARD) {
      assert(ch->sfd_events > 0 || ch->cfd_events > 0);
      if (tls_bytes_waiting(ch) &&
          std::find(w.tls_waiting.begin(), w.tls_waiting.end(), task) == w.tls_waiting.end())
        w.tls_waiting.push_back(task);
    }
    return;
  } else {
    if (task->state == FORWARD) {
      if (task->client_event)
        remove_side(w.epoll_fd, ch->cfd, ch->cfd_events);
      else
        remove_side(w.epoll_fd, ch->sfd, ch->sfd_events);
    } else {
      remove_side(w.epoll_fd, ch->sfd, ch->sfd_events);
      remove_side(w.epoll_fd, ch->cfd, ch->cfd_events);
    }
    LOG_SUMMARY(LOG_WARN, task, "");
  }
  if (ch->sfd_events == 0 && ch->cfd_events == 0) delete_set.insert(task);
}

void handle_event(worker &w, const struct epoll_event &event, std::unordered_set<sealgate_task *> &delete_set) {
  int64_t fd = static_cast<int64_t>(event.data.fd);  // sign-extended to the 64-bit key
  if (w.new_clients.count(fd) != 0) {
    LOG_AT("fsm_worker_thread", LOG_INFO, "client fd %d data is ready", static_cast<int>(fd));
    get_server_info_and_connect(w.epoll_fd, fd, w.client_tasks, w.server_tasks, w.new_clients);
    return;
  }
  sealgate_task *task = nullptr;
  if (auto found = w.client_tasks.find(fd); found != w.client_tasks.end()) {
    task = found->second;
    task->client_event = true;
  } else if (auto found_server = w.server_tasks.find(fd); found_server != w.server_tasks.end()) {
    task = found_server->second;
    task->client_event = false;
  } else {
    LOG_AT("fsm_worker_thread", LOG_WARN, "Unable to find event fd %d in server and client task map",
           static_cast<int>(fd));
    struct epoll_event none;
    memset(&none, 0, sizeof none);
    if (epoll_ctl(w.epoll_fd, EPOLL_CTL_DEL, static_cast<int>(fd), &none) != 0) {
      int saved = errno;
      errno = 0;
      char text[ERROR_TEXT_SIZE];
      if (saved != 0)
        LOG_AT("fsm_worker_thread", LOG_ERROR, "epoll_ctl error - delete fd %d - %s", static_cast<int>(fd),
               errno_text(saved, text));
      else
        LOG_AT("fsm_worker_thread", LOG_ERROR, "epoll_ctl error - delete fd %d - errno not set", static_cast<int>(fd));
      errno = saved;
    }
    return;
  }
  log_event(task, static_cast<int>(fd));
  dispatch(w, task, event.events, delete_set);
}

// A read turn is an EPOLLIN event made by the worker for a server socket
// whose bytes already wait inside the TLS layer.
void give_read_turns(worker &w, const std::vector<sealgate_task *> &waiting,
                     std::unordered_set<sealgate_task *> &delete_set) {
  for (sealgate_task *task : waiting) {
    if (delete_set.count(task) != 0 || !tls_bytes_waiting(task->channel)) continue;
    struct epoll_event event;
    memset(&event, 0, sizeof event);
    event.events = EPOLLIN;
    event.data.fd = task->channel->sfd;
    handle_event(w, event, delete_set);
  }
}

void forget_deleted(std::vector<sealgate_task *> &waiting, const std::unordered_set<sealgate_task *> &delete_set) {
  waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                               [&](sealgate_task *task) { return delete_set.count(task) != 0; }),
                waiting.end());
}

void delete_tasks(worker &w, const std::unordered_set<sealgate_task *> &delete_set) {
  for (sealgate_task *task : delete_set) {
    connection_channel *ch = task->channel;
    LOG_AT("fsm_worker_thread", LOG_INFO, "delete task pointer %p server fd %d:%d client fd %d",
           static_cast<void *>(task), ch->sfd, ch->local_port, ch->cfd);
    end_task(w.epoll_fd, task);
    w.server_tasks.erase(ch->sfd);
    w.client_tasks.erase(ch->cfd);
    update_task_number(task, "delete - fsm_worker_thread", __LINE__);
    delete task;  // the channel closes both sockets, then the task its own client_fd if held
  }
}

// A stopping worker ends what it still holds and closes its epoll set, so the
// process leaves nothing behind for the sanitizers or the peers to find.
void release_worker(worker &w) {
  std::unordered_set<sealgate_task *> remaining;
  for (auto &entry : w.client_tasks) remaining.insert(entry.second);
  for (auto &entry : w.server_tasks) remaining.insert(entry.second);
  delete_tasks(w, remaining);
  for (auto &entry : w.new_clients) close(static_cast<int>(entry.first));
  w.new_clients.clear();
  close(w.epoll_fd);
}

}  // namespace

void *fsm_worker_thread(void *) {
  worker *w = new worker;
  prepare_owner_lookup();
  w->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (w->epoll_fd < 0) {
    LOG_ERRNO(LOG_ERROR, "Unable to create epoll fd");
    delete w;
    return nullptr;
  }
  for (;;) {
    int check_size = static_cast<int>((w->new_clients.size() + w->client_tasks.size() + w->server_tasks.size() + 1) / 2);
    if (check_size == 0) trim_buffer_pool();  // about to wait with nothing to do
    int64_t value = g_handoff_queue.dequeue(check_size == 0);
    if (value == STOP_MARKER) break;
    if (value != QUEUE_EMPTY) register_new_client(*w, value, check_size);
    int wait_ms = w->tls_waiting.empty() ? WORKER_WAIT_MS : 0;
    int n = epoll_wait(w->epoll_fd, w->events, WORKER_MAX_EVENTS, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      LOG_ERRNO(LOG_ERROR, "epoll_wait error");
      break;
    }
    w->read_turns.clear();
    w->read_turns.swap(w->tls_waiting);
    if (n == 0 && w->read_turns.empty()) {
      trim_buffer_pool();  // a quiet cycle: spare buffers go back to the system
      continue;
    }
    if (n > 0)
      LOG(LOG_DEBUG, "check size %d - pending size %lu - ready events %d", check_size,
          g_handoff_queue.approximate_size(), n);
    std::unordered_set<sealgate_task *> delete_set;
    for (int i = 0; i < n; i++) handle_event(*w, w->events[i], delete_set);
    give_read_turns(*w, w->read_turns, delete_set);
    forget_deleted(w->tls_waiting, delete_set);
    delete_tasks(*w, delete_set);
  }
  release_worker(*w);
  delete w;
  return nullptr;
}

int create_worker_threads(std::vector<pthread_t> &threads) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, WORKER_STACK_SIZE);
  int started = 0;
  for (int number = 1; number <= WORKER_COUNT; number++) {
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, fsm_worker_thread, nullptr);
    if (rc != 0) {
      errno = rc;
      LOG_ERRNO(LOG_ERROR, "Unable to create thread %d", number);
      break;
    }
    threads.push_back(thread);
    started++;
  }
  pthread_attr_destroy(&attributes);
  LOG(LOG_INFO, "Created %d worker threads", started);
  return started;
}
