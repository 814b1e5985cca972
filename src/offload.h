// Work that may take long leaves the worker's loop: a name looked up, a TLS
// context built from files. It runs on helper threads of a small pool, and
// its end comes back to the worker that asked as an event of that worker's
// own mailbox descriptor, after which the worker drives the job's waiter
// (its task) again. A waiter that ends first abandons its job: the job still
// runs to its end on its helper thread, and its end then finds no one.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

// Pools of helper threads, by the kind of work they do: lookups mostly wait
// (on a name server), so many may run at once; builds use the CPU, so few
// do, at a lower priority than the workers, whose relays come first.
enum class offload_pool { lookups, builds };
// At most this many lookups run at once (a name server that does not answer
// holds one for its time-out); more wait for one of them to end.
constexpr int OFFLOAD_LOOKUP_THREADS = 64;
constexpr int OFFLOAD_BUILD_THREADS = 2;
constexpr size_t OFFLOAD_LOOKUP_STACK = 512 * 1024;  // the resolver's needs, with room to spare
// A helper thread with nothing to do for this long leaves.
constexpr int OFFLOAD_IDLE_SECONDS = 10;
constexpr int OFFLOAD_BUILD_NICENESS = 10;

struct worker_mailbox;

struct offload_job {
  virtual ~offload_job() = default;
  virtual void run() = 0;  // on a helper thread
  void *waiter = nullptr;  // driven again on its worker once the job is done
  std::atomic<bool> abandoned{false};
  bool runs_when_abandoned = false;  // its outcome serves others too (a kept context)
  std::atomic<bool> done{false};  // run() has returned: what it made may be read
  std::weak_ptr<worker_mailbox> mailbox;
};

// Runs the job on a helper thread of `pool`; its end is announced to the
// calling thread's mailbox. A thread without a mailbox (not a worker) runs
// the job at once, here.
void offload(const std::shared_ptr<offload_job> &job, offload_pool pool);

// At the stop, once the workers have left: queued jobs are dropped, and the
// builds that run are waited for (the TLS library they use is released
// with the process). A lookup that waits on a name server is not waited for.
void offload_stop();

// The calling worker's mailbox: its descriptor, for the worker's epoll set
// (readable when jobs have ended), or -1 when it cannot be made.
int open_worker_mailbox();
void close_worker_mailbox();
// The waiters of the calling worker's jobs that have ended since the last
// call, but for those whose waiter has abandoned them.
std::vector<void *> take_finished_waiters();
