// The one owner of the epoll registrations: every socket a worker watches
// (a client's, a server's, an OCSP responder's) enters, changes and leaves
// the worker's epoll set through here, and so does the accepting thread's
// listener. Registrations are level-triggered with the socket number as the
// data word; a mask of 0 means "not registered".
#pragma once

#include <cstdint>

// Brings `fd`'s registration from `registered` to `wanted` with the one
// epoll_ctl call that takes (ADD, MOD or DEL, none when they are equal) and
// records the new mask in `registered`. 0, or -1 after an ERROR line when
// epoll refused (`registered` then keeps what the set still holds). A
// socket that is closed leaves the set with its last descriptor, so one
// that is about to be closed while registered is first brought to 0.
int change_events(uint32_t wanted, uint32_t &registered, int epoll_fd, int fd);
// The delete form, for a socket whose registration nobody recorded: takes it
// out of the set; one that was not in it is no failure.
void change_events(int epoll_fd, int fd);
