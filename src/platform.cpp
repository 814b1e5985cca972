#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <malloc.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int socket_layer_start() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGPIPE, &action, nullptr);
}

void socket_layer_stop() {}

namespace {

// Reads the state letter from /proc/PID/stat; 0 when it cannot be read.
char process_state(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[512];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // The command name in parentheses may hold spaces and ')'; the state follows the last ')'.
  const char *close_paren = strrchr(text, ')');
  if (close_paren == nullptr || close_paren[1] != ' ') return 0;
  return close_paren[2];
}

}  // namespace

bool is_process_alive(int pid) {
  if (pid <= 0) return false;  // 0 and negative ids name process groups, not a process
  static const int own_pid = static_cast<int>(getpid());  // asked once per accept turn: keep it
  if (pid == own_pid) return true;
  int saved = errno;
  bool alive;
  if (kill(pid, 0) == 0 || errno == EPERM) {
    char state = process_state(pid);
    alive = state != 'Z' && state != 'X';
  } else {
    alive = errno != ESRCH;
  }
  errno = saved;
  return alive;
}

int platform_last_socket_error() { return errno; }

bool platform_socket_error_message(int error, char *buffer, size_t size) {
  const char *text = strerror_r(error, buffer, size);
  if (text == nullptr) return false;
  if (text != buffer) snprintf(buffer, size, "%s", text);
  return true;
}

void give_back_free_heap() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  malloc_trim(0);
#endif
}

long raise_open_files_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  }
  return static_cast<long>(limit.rlim_cur);
}

namespace {

// One netlink socket per thread, opened at its first lookup and kept.
struct diag_socket {
  int fd = -2;  // -2 not opened yet, -1 unavailable
  ~diag_socket() {
    if (fd >= 0) close(fd);
  }
};
thread_local diag_socket t_diag;

// A socket a process still holds (it has an inode) in a connected state. A
// socket its owner has closed is reported as root's (time-wait) or with no
// inode: whoever it belonged to, it no longer speaks for anyone.
bool held_connection(unsigned state, unsigned long inode) {
  constexpr unsigned established = 1, fin_wait1 = 4, fin_wait2 = 5, close_wait = 8;
  return inode != 0 && (state == established || state == fin_wait1 || state == fin_wait2 || state == close_wait);
}

// The kernel gives a socket's address as four 32-bit words in network order:
// an IPv4 socket's in the first, an IPv6 socket's in all four. A client's
// IPv6 socket that connected to an IPv4 address (a dual-stack runtime's
// default) holds it in the IPv4-mapped form ::ffff:a.b.c.d.
bool same_address(int family, const uint32_t words[4], in_addr_t ipv4) {
  if (family == AF_INET) return words[0] == ipv4;
  return family == AF_INET6 && words[0] == 0 && words[1] == 0 && words[2] == htonl(0xffff) && words[3] == ipv4;
}

owner_lookup ask_netlink(const sockaddr_in &peer, const sockaddr_in &local, uid_t *uid) {
  prepare_owner_lookup();
  if (t_diag.fd < 0) return owner_lookup::failed;
  struct {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
  } message;
  memset(&message, 0, sizeof message);
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // one exact socket, not a dump
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0U;
  message.request.id.idiag_sport = peer.sin_port;
  message.request.id.idiag_dport = local.sin_port;
  message.request.id.idiag_src[0] = peer.sin_addr.s_addr;
  message.request.id.idiag_dst[0] = local.sin_addr.s_addr;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  ssize_t n;
  do {
    n = sendto(t_diag.fd, &message, sizeof message, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return owner_lookup::failed;
  alignas(struct nlmsghdr) char answer[1024];
  do {
    n = recv(t_diag.fd, answer, sizeof answer, 0);
  } while (n < 0 && errno == EINTR);
  if (n < static_cast<ssize_t>(sizeof(struct nlmsghdr))) return owner_lookup::failed;
  const auto *header = reinterpret_cast<const struct nlmsghdr *>(answer);
  if (!NLMSG_OK(header, static_cast<size_t>(n))) return owner_lookup::failed;
  if (header->nlmsg_type == NLMSG_ERROR) {
    const auto *error = static_cast<const struct nlmsgerr *>(NLMSG_DATA(header));
    if (error->error == -ENOENT) return owner_lookup::not_found;
    errno = -error->error;
    return owner_lookup::failed;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
    return owner_lookup::failed;
  const auto *found = static_cast<const struct inet_diag_msg *>(NLMSG_DATA(header));
  // The kernel answers with the socket that would take a packet for the
  // pair: a listener on a wildcard address when no connection has it. Only a
  // connection of exactly this pair that a process still holds counts, an
  // IPv6 socket's too when it holds the pair IPv4-mapped.
  bool exact = found->id.idiag_sport == peer.sin_port && found->id.idiag_dport == local.sin_port &&
               same_address(found->idiag_family, found->id.idiag_src, peer.sin_addr.s_addr) &&
               same_address(found->idiag_family, found->id.idiag_dst, local.sin_addr.s_addr);
  if (!exact || !held_connection(found->idiag_state, found->idiag_inode)) return owner_lookup::not_found;
  *uid = found->idiag_uid;
  return owner_lookup::found;
}

// Lines of /proc/net/tcp and tcp6: "sl local rem st ... uid ... inode ...",
// each address as the kernel's 32-bit words in hex (one, or four for
// IPv6), the port in hex.
owner_lookup read_proc_net_tcp(int family, const sockaddr_in &peer, const sockaddr_in &local, uid_t *uid) {
  FILE *table = fopen(family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6", "re");
  if (table == nullptr) return owner_lookup::failed;
  char line[512];
  owner_lookup result = owner_lookup::not_found;
  if (fgets(line, sizeof line, table) == nullptr) result = owner_lookup::failed;  // the heading
  while (result == owner_lookup::not_found && fgets(line, sizeof line, table) != nullptr) {
    uint32_t l[4] = {}, r[4] = {};
    unsigned local_port, remote_port, state;
    unsigned long owner, inode;
    bool read = family == AF_INET
                    ? sscanf(line, " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %lu %*d %lu", &l[0], &local_port, &r[0],
                             &remote_port, &state, &owner, &inode) == 7
                    : sscanf(line, " %*u: %8X%8X%8X%8X:%4X %8X%8X%8X%8X:%4X %2X %*X:%*X %*X:%*X %*X %lu %*d %lu", &l[0],
                             &l[1], &l[2], &l[3], &local_port, &r[0], &r[1], &r[2], &r[3], &remote_port, &state, &owner,
                             &inode) == 13;
    if (read && same_address(family, l, peer.sin_addr.s_addr) && local_port == ntohs(peer.sin_port) &&
        same_address(family, r, local.sin_addr.s_addr) && remote_port == ntohs(local.sin_port) &&
        held_connection(state, inode)) {
      *uid = static_cast<uid_t>(owner);
      result = owner_lookup::found;
    }
  }
  fclose(table);
  return result;
}

}  // namespace

void prepare_owner_lookup() {
  if (t_diag.fd == -2) t_diag.fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

owner_lookup find_socket_owner(const sockaddr_in &peer, const sockaddr_in &local, uid_t *uid, owner_source source) {
  if (source != owner_source::proc_net_tcp) {
    owner_lookup answer = ask_netlink(peer, local, uid);
    if (answer != owner_lookup::failed || source == owner_source::netlink) return answer;
  }
  owner_lookup answer = read_proc_net_tcp(AF_INET, peer, local, uid);
  if (answer != owner_lookup::not_found) return answer;
  // Without IPv6 there is no tcp6 table, and nothing more to find.
  return read_proc_net_tcp(AF_INET6, peer, local, uid) == owner_lookup::found ? owner_lookup::found
                                                                              : owner_lookup::not_found;
}

bool process_uid(int pid, uid_t *uid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE *status = fopen(path, "re");
  if (status == nullptr) return false;
  char line[256];
  bool found = false;
  while (!found && fgets(line, sizeof line, status) != nullptr) {
    unsigned long real, effective;
    found = sscanf(line, "Uid: %lu %lu", &real, &effective) == 2;
    if (found) *uid = static_cast<uid_t>(effective);
  }
  fclose(status);
  return found;
}
