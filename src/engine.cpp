// The worker threads and their cycle: take sockets from the hand-off queue,
// wait on the worker's epoll set, hand each event to its task's step, give
// read turns, and delete finished tasks at the end of the cycle.
#include "engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <unordered_set>

#include "channel.h"
#include "listener.h"
#include "log.h"
#include "offload.h"
#include "platform.h"
#include "poller.h"
#include "task.h"

// ---- the worker ----

namespace {

struct worker {
  int epoll_fd = -1;
  int wake_fd = -1;  // written to by the hand-off queue when a socket comes for this parked worker
  int mailbox_fd = -1;  // readable when work this worker left to a helper thread has ended
  int slot = -1;     // the worker's place in the hand-off queue
  // Tasks whose TLS layer holds server bytes that no readiness event will
  // announce: each gets a read turn in the next cycle.
  std::vector<sealgate_task *> tls_waiting;
  std::vector<sealgate_task *> read_turns;  // this cycle's, swapped with tls_waiting
  new_client_map new_clients;
  task_map client_tasks;
  task_map server_tasks;  // server sockets, and the sockets of revocation checks
  // Tasks with a deadline (a connect attempt, a revocation check): stepped
  // when it comes even if no socket of theirs reports an event.
  std::unordered_set<sealgate_task *> timed;
  int wait_ms = WORKER_WAIT_MS;  // until the nearest deadline, at most WORKER_WAIT_MS
  int quiet_cycles = 0;          // cycles in a row that found nothing to do
  // When this cycle's steps began (0: not inside them): the hand-off queue
  // does not count on a worker held inside its steps to take the next socket.
  std::atomic<int64_t> step_started{0};
  struct epoll_event events[WORKER_MAX_EVENTS];
};

void follow_task(worker &w, sealgate_task *task, int old_server, int old_check);

void register_new_client(worker &w, int64_t client, int &check_size) {
  // Nothing is read from a client whose user may not use sealgate.
  switch (client_allowed(static_cast<int>(client))) {
    case client_verdict::allowed: break;
    case client_verdict::left: client_left_before_request(client); return;
    case client_verdict::refused: close(static_cast<int>(client)); return;
  }
  // The request mostly comes with the connection: it is read at once, and
  // the socket is watched only when it has not arrived yet.
  int rc = get_server_info_and_connect(w.epoll_fd, client, w.client_tasks, w.server_tasks, w.new_clients);
  if (rc != REQUEST_NOT_YET) {
    if (auto started = w.client_tasks.find(client); started != w.client_tasks.end()) {
      follow_task(w, started->second, started->second->channel->sfd, -1);
      check_size++;
    }
    return;
  }
  uint32_t registered = 0;
  if (change_events(EPOLLIN, registered, w.epoll_fd, static_cast<int>(client)) != 0) {
    close(static_cast<int>(client));
    return;
  }
  w.new_clients[client] = time(nullptr);
  check_size++;
}

// A step may change the task's sockets on the server's side (the next
// address tried, a responder's socket opened or closed): the server map
// follows, and a task with a deadline joins the timed ones.
void follow_task(worker &w, sealgate_task *task, int old_server, int old_check) {
  int server = task->channel->sfd, check = task_check_socket(task);
  if (server != old_server || check != old_check) {
    for (int fd : {old_server, old_check}) {
      auto found = w.server_tasks.find(fd);
      if (fd >= 0 && found != w.server_tasks.end() && found->second == task) w.server_tasks.erase(found);
    }
    for (int fd : {server, check})
      if (fd >= 0) w.server_tasks[fd] = task;
  }
  std::chrono::steady_clock::time_point when;
  if (task_deadline(task, &when)) w.timed.insert(task);
}

// Every cause of a task's step (an event, a read turn, its deadline) goes
// through here to the task's one entry; what the step leaves decides the
// rest: the delete set, the next cycle's read turns, the maps.
void drive(worker &w, sealgate_task *task, int fd, uint32_t events, std::unordered_set<sealgate_task *> &delete_set) {
  // A task already bound for deletion takes no further step: a later event of
  // the same cycle must not reply to a client that has gone.
  if (delete_set.count(task) != 0) return;
  bool relaying = task->state == task_state::FORWARD;  // its sockets stay as they are
  int server = task->channel->sfd, check = relaying ? -1 : task_check_socket(task);
  task_outcome outcome = run_task(w.epoll_fd, task, fd, events);
  if (!relaying) follow_task(w, task, server, check);
  if (outcome.finished)
    delete_set.insert(task);
  else if (outcome.read_turn && std::find(w.tls_waiting.begin(), w.tls_waiting.end(), task) == w.tls_waiting.end())
    w.tls_waiting.push_back(task);
}

void handle_event(worker &w, const struct epoll_event &event, std::unordered_set<sealgate_task *> &delete_set) {
  int64_t fd = static_cast<int64_t>(event.data.fd);  // sign-extended to the 64-bit key
  if (w.new_clients.count(fd) != 0) {
    get_server_info_and_connect(w.epoll_fd, fd, w.client_tasks, w.server_tasks, w.new_clients);
    if (auto started = w.client_tasks.find(fd); started != w.client_tasks.end())
      follow_task(w, started->second, started->second->channel->sfd, -1);
    return;
  }
  sealgate_task *task = nullptr;
  if (auto found = w.client_tasks.find(fd); found != w.client_tasks.end()) {
    task = found->second;
  } else if (auto found_server = w.server_tasks.find(fd); found_server != w.server_tasks.end()) {
    task = found_server->second;
  } else {
    LOG_AT("fsm_worker_thread", LOG_WARN, "Unable to find event fd %d in server and client task map",
           static_cast<int>(fd));
    change_events(w.epoll_fd, static_cast<int>(fd));
    return;
  }
  drive(w, task, static_cast<int>(fd), event.events, delete_set);
}

// A read turn: the server's socket of a task whose bytes already wait inside
// the TLS layer, driven as if it were readable.
void give_read_turns(worker &w, const std::vector<sealgate_task *> &waiting,
                     std::unordered_set<sealgate_task *> &delete_set) {
  for (sealgate_task *task : waiting)
    if (delete_set.count(task) == 0 && read_turn_due(task)) drive(w, task, task->channel->sfd, EPOLLIN, delete_set);
}

// Steps the tasks whose deadline has come; tasks with none left leave the
// timed set. Returns the milliseconds until the next deadline (capped at `cap`).
int run_deadlines(worker &w, std::unordered_set<sealgate_task *> &delete_set, int cap) {
  auto now = std::chrono::steady_clock::now();
  auto next = now + std::chrono::milliseconds(cap);
  std::vector<sealgate_task *> due;
  for (auto it = w.timed.begin(); it != w.timed.end();) {
    std::chrono::steady_clock::time_point when;
    sealgate_task *task = *it;
    if (delete_set.count(task) != 0 || !task_deadline(task, &when)) {
      it = w.timed.erase(it);
      continue;
    }
    if (when <= now)
      due.push_back(task);
    else if (when < next)
      next = when;
    ++it;
  }
  for (sealgate_task *task : due) {
    drive(w, task, -1, 0, delete_set);
    std::chrono::steady_clock::time_point when;
    if (delete_set.count(task) == 0 && task_deadline(task, &when) && when < next) next = std::max(when, now);
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, cap));
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
    if (int check = task_check_socket(task); check >= 0) w.server_tasks.erase(check);
    w.timed.erase(task);
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
  close(w.epoll_fd);  // its wake-up descriptor is the queue's to close
}

}  // namespace

namespace {

bool open_worker(worker &w) {
  w.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (w.epoll_fd < 0) {
    LOG_ERRNO(LOG_ERROR, "Unable to create epoll fd");
    return false;
  }
  w.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = EPOLLIN;
  event.data.fd = w.wake_fd;
  bool woken = w.wake_fd >= 0 && epoll_ctl(w.epoll_fd, EPOLL_CTL_ADD, w.wake_fd, &event) == 0;
  w.mailbox_fd = woken ? open_worker_mailbox() : -1;
  event.data.fd = w.mailbox_fd;
  if (w.mailbox_fd < 0 || epoll_ctl(w.epoll_fd, EPOLL_CTL_ADD, w.mailbox_fd, &event) != 0) {
    LOG_ERRNO(LOG_ERROR, "Unable to create the worker's wake-up fd");
    close_worker_mailbox();
    if (w.wake_fd >= 0) close(w.wake_fd);
    close(w.epoll_fd);
    return false;
  }
  return true;
}

// A wait shorter than this found its events waiting: the worker did not sleep.
constexpr std::chrono::microseconds BUSY_WAIT{50};

size_t held_tasks(const worker &w) { return w.client_tasks.size() + w.new_clients.size(); }

void drain_wake_ups(worker &w) {
  uint64_t count;
  while (read(w.wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace

void *fsm_worker_thread(void *) {
  worker *w = new worker;
  prepare_owner_lookup();
  if (!open_worker(*w)) {
    delete w;
    return nullptr;
  }
  w->slot = g_handoff_queue.join(w->wake_fd, &w->step_started);
  log_gather_lines(true);
  // A worker whose relays keep it running (its wait finds events at once)
  // takes no new sockets while it runs: they go to workers with time to spare.
  bool busy = false;
  auto taker_load = [&] { return busy ? TAKER_LOAD_LIMIT : held_tasks(*w); };
  for (;;) {
    int check_size = static_cast<int>((w->new_clients.size() + w->client_tasks.size() + w->server_tasks.size() + 1) / 2);
    w->step_started.store(0, std::memory_order_relaxed);
    int64_t value = g_handoff_queue.take(w->slot, taker_load());
    if (value == STOP_MARKER) break;
    if (value != QUEUE_EMPTY) {
      w->step_started.store(step_clock_now(), std::memory_order_relaxed);  // the new client's first steps
      register_new_client(*w, value, check_size);
    }
    // A worker that holds nothing waits until a socket comes for it.
    int wait_ms = !w->tls_waiting.empty() ? 0 : check_size == 0 ? -1 : w->wait_ms;
    bool parked = false;
    if (wait_ms != 0) {
      if (check_size == 0) trim_buffer_pool();  // about to wait with nothing to do
      value = g_handoff_queue.park(w->slot, held_tasks(*w));
      if (value == STOP_MARKER) break;
      parked = value == QUEUE_EMPTY;
      if (!parked) {
        register_new_client(*w, value, check_size);
        wait_ms = 0;
      }
    }
    log_flush();
    auto wait_start = std::chrono::steady_clock::now();
    int n = epoll_wait(w->epoll_fd, w->events, WORKER_MAX_EVENTS, wait_ms);
    int wait_errno = errno;  // what follows may change it
    auto woke = std::chrono::steady_clock::now();
    busy = wait_ms == 0 || (n > 0 && woke - wait_start < BUSY_WAIT);
    if (n > 0 || !w->tls_waiting.empty() || !w->timed.empty()) w->step_started.store(step_clock_at(woke), std::memory_order_relaxed);
    if (parked) {
      value = g_handoff_queue.unpark(w->slot, taker_load());
      if (value == STOP_MARKER) break;
      if (value != QUEUE_EMPTY) register_new_client(*w, value, check_size);
    }
    if (n < 0) {
      if (wait_errno == EINTR) continue;
      errno = wait_errno;
      LOG_ERRNO(LOG_ERROR, "epoll_wait error");
      break;
    }
    w->read_turns.clear();
    w->read_turns.swap(w->tls_waiting);
    if (w->timed.empty()) w->wait_ms = WORKER_WAIT_MS;
    if (n == 0 && w->read_turns.empty() && w->timed.empty()) {
      trim_buffer_pool();  // a quiet cycle: spare buffers go back to the system
      // and, once the quiet has lasted, the allocator's free pages with them
      // (not sooner: a trim walks every arena and each page it gives back
      // costs the other cores a TLB flush and this one a fault when reused)
      if (++w->quiet_cycles == QUIET_CYCLES_BEFORE_TRIM) give_back_free_heap();
      continue;
    }
    w->quiet_cycles = 0;
    if (n > 0)
      LOG(LOG_DEBUG, "check size %d - pending size %lu - ready events %d", check_size,
          g_handoff_queue.approximate_size(), n);
    std::unordered_set<sealgate_task *> delete_set;
    for (int i = 0; i < n; i++) {
      if (w->events[i].data.fd == w->wake_fd) {
        drain_wake_ups(*w);
      } else if (w->events[i].data.fd == w->mailbox_fd) {
        for (void *waiter : take_finished_waiters()) drive(*w, static_cast<sealgate_task *>(waiter), -1, 0, delete_set);
      } else {
        handle_event(*w, w->events[i], delete_set);
      }
    }
    give_read_turns(*w, w->read_turns, delete_set);
    w->wait_ms = run_deadlines(*w, delete_set, WORKER_WAIT_MS);
    forget_deleted(w->tls_waiting, delete_set);
    delete_tasks(*w, delete_set);
  }
  g_handoff_queue.leave(w->slot);
  release_worker(*w);
  close_worker_mailbox();
  log_gather_lines(false);
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
