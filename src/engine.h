// The worker threads and their cycle: take sockets from the hand-off queue,
// wait on the worker's epoll set, hand each event to its task's step, give
// read turns, and delete finished tasks at the end of the cycle.
#pragma once

#include <cstddef>
#include <pthread.h>
#include <vector>

constexpr int WORKER_COUNT = 20;
constexpr size_t WORKER_STACK_SIZE = 16 * 1024 * 1024;
constexpr int WORKER_MAX_EVENTS = 128;
constexpr int WORKER_WAIT_MS = 50;
// A worker that has waited this many cycles in a row with nothing to do
// gives the allocator's free pages back (200 ms of quiet).
constexpr int QUIET_CYCLES_BEFORE_TRIM = 4;

// Starts up to WORKER_COUNT workers and appends their handles; returns how many started.
int create_worker_threads(std::vector<pthread_t> &threads);
void *fsm_worker_thread(void *);
