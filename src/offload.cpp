// Helper threads for work that may take long, and the mailboxes through
// which its end comes back to the worker that asked.
#include "offload.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <openssl/crypto.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <pthread.h>
#include <unistd.h>

#include "log.h"

// A worker's mailbox: the jobs that have ended, and the descriptor written
// when one more has. Jobs hold it weakly: one that ends after its worker
// has left finds it gone.
struct worker_mailbox {
  int fd = -1;
  std::mutex lock;
  std::vector<std::shared_ptr<offload_job>> ended;
  ~worker_mailbox() {
    if (fd >= 0) close(fd);
  }
};

namespace {

thread_local std::shared_ptr<worker_mailbox> t_mailbox;

void announce(const std::shared_ptr<offload_job> &job) {
  job->done.store(true, std::memory_order_release);
  std::shared_ptr<worker_mailbox> mailbox = job->mailbox.lock();
  if (mailbox == nullptr || job->abandoned.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> guard(mailbox->lock);
    mailbox->ended.push_back(job);
  }
  uint64_t one = 1;
  while (write(mailbox->fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// One pool: a queue of jobs and up to `limit` threads, made when a job finds
// none idle and gone after OFFLOAD_IDLE_SECONDS without work. Its state is
// never freed: a helper thread busy at the stop (a name server that does not
// answer) is left to end with the process.
struct pool {
  std::mutex lock;
  std::condition_variable wake, gone;
  std::deque<std::shared_ptr<offload_job>> queue;
  int threads = 0, idle = 0;
  bool stopping = false;
  const int limit;
  const int niceness;
  const size_t stack;  // 0: the system's default
  const bool uses_tls_library;
  pool(int most, int nice, size_t stack_size, bool tls)
      : limit(most), niceness(nice), stack(stack_size), uses_tls_library(tls) {}

  void serve() {
    if (niceness != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness);
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      if (queue.empty()) {
        idle++;
        bool woken = wake.wait_for(guard, std::chrono::seconds(OFFLOAD_IDLE_SECONDS),
                                   [this] { return !queue.empty() || stopping; });
        idle--;
        if (!woken || stopping) break;
      }
      run_front(guard);
    }
    // What the TLS library keeps for this thread (its error queue) goes now,
    // not at the thread's end, which a stop does not wait for. Lookups never
    // touch the library: their threads, which a stop leaves running, stay
    // out of it while the process ends.
    if (uses_tls_library) {
      guard.unlock();
      OPENSSL_thread_stop();
      guard.lock();
    }
    if (--threads == 0) gone.notify_all();
  }

  void stop(bool wait) {
    std::unique_lock<std::mutex> guard(lock);
    stopping = true;
    queue.clear();
    wake.notify_all();
    if (wait) gone.wait(guard, [this] { return threads == 0; });
  }

  void submit(const std::shared_ptr<offload_job> &job) {
    std::unique_lock<std::mutex> guard(lock);
    // Jobs whose waiters have gone cost nothing to skip, but a long queue of
    // them (clients that ask and leave while every thread waits) is dropped.
    if (queue.size() >= static_cast<size_t>(limit))
      std::erase_if(queue, [](const std::shared_ptr<offload_job> &queued) {
        return !queued->runs_when_abandoned && queued->abandoned.load(std::memory_order_relaxed);
      });
    queue.push_back(job);
    if (idle >= static_cast<int>(queue.size()) || threads >= limit) {
      guard.unlock();
      wake.notify_one();
      return;
    }
    threads++;
    guard.unlock();
    if (start_thread()) return;
    // No thread could be made: the job waits for one that is running, or,
    // with none, runs here.
    guard.lock();
    bool alone = --threads == 0;
    guard.unlock();
    if (alone) serve_one_here();
  }

  bool start_thread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stack != 0) pthread_attr_setstacksize(&attributes, stack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(
        &thread, &attributes,
        [](void *self) -> void * {
          static_cast<pool *>(self)->serve();
          return nullptr;
        },
        this);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
      errno = rc;
      LOG_ERRNO(LOG_ERROR, "Unable to start a helper thread");
    }
    return rc == 0;
  }

  void serve_one_here() {
    std::unique_lock<std::mutex> guard(lock);
    while (!queue.empty()) run_front(guard);
  }

  // The job at the front, run (unless no one waits for it any more) and
  // announced, with the lock let go meanwhile.
  void run_front(std::unique_lock<std::mutex> &guard) {
    std::shared_ptr<offload_job> job = std::move(queue.front());
    queue.pop_front();
    guard.unlock();
    if (job->runs_when_abandoned || !job->abandoned.load(std::memory_order_relaxed)) job->run();
    announce(job);
    job.reset();
    guard.lock();
  }
};

pool &pool_of(offload_pool kind) {
  static pool *lookups = new pool(OFFLOAD_LOOKUP_THREADS, 0, OFFLOAD_LOOKUP_STACK, false);
  static pool *builds = new pool(OFFLOAD_BUILD_THREADS, OFFLOAD_BUILD_NICENESS, 0, true);
  return kind == offload_pool::lookups ? *lookups : *builds;
}

}  // namespace

void offload_stop() {
  pool_of(offload_pool::lookups).stop(false);
  pool_of(offload_pool::builds).stop(true);
}

void offload(const std::shared_ptr<offload_job> &job, offload_pool kind) {
  if (t_mailbox == nullptr) {
    job->run();
    job->done.store(true, std::memory_order_release);
    return;
  }
  job->mailbox = t_mailbox;
  pool_of(kind).submit(job);
}

int open_worker_mailbox() {
  auto mailbox = std::make_shared<worker_mailbox>();
  mailbox->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mailbox->fd < 0) return -1;
  t_mailbox = std::move(mailbox);
  return t_mailbox->fd;
}

void close_worker_mailbox() { t_mailbox.reset(); }

std::vector<void *> take_finished_waiters() {
  std::vector<void *> waiters;
  if (t_mailbox == nullptr) return waiters;
  uint64_t count;
  while (read(t_mailbox->fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::vector<std::shared_ptr<offload_job>> ended;
  {
    std::lock_guard<std::mutex> guard(t_mailbox->lock);
    ended.swap(t_mailbox->ended);
  }
  for (const auto &job : ended)
    if (!job->abandoned.load(std::memory_order_relaxed)) waiters.push_back(job->waiter);
  return waiters;
}
