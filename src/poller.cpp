// The one owner of the epoll registrations; what each mask means is decided
// by the code that asks for it (the task's exit, the revocation check).
#include "poller.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>

#include "log.h"

int change_events(uint32_t wanted, uint32_t &registered, int epoll_fd, int fd) {
  if (wanted == registered) return 0;
  struct epoll_event event;
  memset(&event, 0, sizeof event);
  event.events = wanted;
  event.data.fd = fd;
  if (wanted == 0) {
    if (epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, &event) != 0 && errno != ENOENT) {
      LOG_ERRNO(LOG_ERROR, "epoll_ctl error - delete fd %d", fd);
      return -1;
    }
  } else if (registered == 0) {
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
      LOG_ERRNO(LOG_ERROR, "epoll_ctl error - add fd %d", fd);
      return -1;
    }
  } else if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) != 0) {
    LOG_ERRNO(LOG_ERROR, "epoll_ctl error - change fd %d", fd);
    return -1;
  }
  registered = wanted;
  return 0;
}

void change_events(int epoll_fd, int fd) {
  uint32_t unknown = EPOLLIN;  // whatever it holds, it is to hold nothing
  change_events(0, unknown, epoll_fd, fd);
}
