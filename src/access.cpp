// Who may use sealgate: the user that owns a client's socket, asked of the
// kernel before a byte is read, and the log of refusals, which costs a few
// lines a second however many there are. Accepting and handing sockets on
// are the listener's.
#include "access.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "platform.h"

namespace {

std::atomic<bool> g_listening_known{false};
sockaddr_in g_listening_address;

constexpr int ALLOWED_UID_SLOTS = 3;
uid_t g_allowed_uids[ALLOWED_UID_SLOTS];
int g_allowed_count = 0;

void allow_uid(uid_t uid) {
  for (int i = 0; i < g_allowed_count; i++)
    if (g_allowed_uids[i] == uid) return;
  if (g_allowed_count < ALLOWED_UID_SLOTS) g_allowed_uids[g_allowed_count++] = uid;
}

}  // namespace

void remember_listening_address(int fd) {
  sockaddr_in address;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0 || address.sin_family != AF_INET ||
      address.sin_addr.s_addr == htonl(INADDR_ANY))
    return;
  g_listening_address = address;
  g_listening_known.store(true, std::memory_order_release);
}

void allow_clients_of(int pid_to_live_with) {
  g_allowed_count = 0;
  allow_uid(geteuid());
  allow_uid(0);
  uid_t uid;
  if (process_uid(pid_to_live_with, &uid)) allow_uid(uid);
  prepare_owner_lookup();  // this thread's channel, for the looks it takes while refusals flood in
}

namespace {

// The other end has closed or reset the connection: our side has seen its
// end, whether or not bytes came before it.
bool peer_has_left(int client_fd) {
  struct pollfd p = {client_fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

constexpr uid_t UNKNOWN_OWNER = static_cast<uid_t>(-1);  // never a user's id

// What the owner check found out about a client, before anything is logged.
enum class owner_finding { allowed, other_user, left, no_socket, lookup_failed, unnamed };
struct owner_answer {
  owner_finding finding;
  uid_t uid = UNKNOWN_OWNER;  // the owner, when found
  int port = 0;               // the client's
  int error = 0;              // errno of a look that failed
};

owner_answer find_owner(int client_fd) {
  sockaddr_in peer, local;
  socklen_t peer_length = sizeof peer, local_length = sizeof local;
  bool local_known = g_listening_known.load(std::memory_order_acquire);
  if (local_known) local = g_listening_address;
  if (getpeername(client_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length) != 0 ||
      (!local_known && getsockname(client_fd, reinterpret_cast<sockaddr *>(&local), &local_length) != 0) ||
      peer.sin_family != AF_INET) {
    int error = errno;
    // A client that reset the connection at once has no peer name left.
    if (error == ENOTCONN && peer_has_left(client_fd)) return {owner_finding::left};
    return {owner_finding::unnamed, UNKNOWN_OWNER, 0, error};
  }
  owner_answer answer{owner_finding::no_socket, UNKNOWN_OWNER, ntohs(peer.sin_port)};
  uid_t uid = 0;
  switch (find_socket_owner(peer, local, &uid)) {
    case owner_lookup::found:
      answer.uid = uid;
      answer.finding = std::find(g_allowed_uids, g_allowed_uids + g_allowed_count, uid) != g_allowed_uids + g_allowed_count
                           ? owner_finding::allowed
                           : owner_finding::other_user;
      break;
    case owner_lookup::not_found:
      // A socket its owner has closed belongs to no one any more; a client
      // that connected and left before this look is not another user.
      if (peer_has_left(client_fd)) answer.finding = owner_finding::left;
      break;
    case owner_lookup::failed:
      answer.error = errno;
      answer.finding = owner_finding::lookup_failed;
      break;
  }
  return answer;
}

// Refusals are logged a few a second. The rest are counted by owner and
// told in one line per owner once their second is over, so that a user who
// is refused cannot fill the log disk however fast it connects. Clients that
// leave before their owner is known count as refusals of an unknown owner.
constexpr int REFUSAL_LINES_PER_SECOND = 5;
constexpr int UNLOGGED_OWNERS = 8;  // beyond these in one second, counted as unknown

struct unlogged_refusals {
  uid_t uid;
  unsigned long count;
};

std::mutex g_refusal_mutex;
int64_t g_refusal_second = -1;  // the second being counted
int g_refusal_lines = 0;        // refusals logged in it
unlogged_refusals g_unlogged[UNLOGGED_OWNERS];
int g_unlogged_owners = 0;
// Set once a refusal goes unlogged, until a second passes without one: the
// accepting thread then checks owners itself.
std::atomic<bool> g_refusals_flooding{false};

int64_t current_second() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

// With the lock held: a new second begins, and the counts of the one that
// ended move to `ended`; its length.
int roll_over_locked(int64_t second, unlogged_refusals *ended) {
  int count = g_unlogged_owners;
  std::copy(g_unlogged, g_unlogged + count, ended);
  g_refusals_flooding.store(count != 0, std::memory_order_relaxed);
  g_unlogged_owners = 0;
  g_refusal_second = second;
  g_refusal_lines = 0;
  return count;
}

void log_unlogged(const unlogged_refusals *ended, int count) {
  for (int i = 0; i < count; i++) {
    if (ended[i].uid == UNKNOWN_OWNER)
      LOG_AT("client_allowed", LOG_ERROR, "%lu more connections of an unknown owner refused", ended[i].count);
    else
      LOG_AT("client_allowed", LOG_ERROR, "%lu more connections from uid %u refused", ended[i].count,
             static_cast<unsigned>(ended[i].uid));
  }
}

// True when this refusal may have its line; otherwise it has been counted.
bool refusal_logged(uid_t uid) {
  unlogged_refusals ended[UNLOGGED_OWNERS];
  int ended_count = 0;
  bool logged;
  {
    std::lock_guard<std::mutex> guard(g_refusal_mutex);
    int64_t second = current_second();
    if (second != g_refusal_second) ended_count = roll_over_locked(second, ended);
    logged = g_refusal_lines < REFUSAL_LINES_PER_SECOND;
    if (logged) {
      g_refusal_lines++;
    } else {
      auto slot = [](uid_t owner) {
        int i = 0;
        while (i < g_unlogged_owners && g_unlogged[i].uid != owner) i++;
        return i;
      };
      int i = slot(uid);
      if (i >= UNLOGGED_OWNERS - 1 && uid != UNKNOWN_OWNER) i = slot(uid = UNKNOWN_OWNER);  // the last slot is theirs
      if (i == g_unlogged_owners) g_unlogged[g_unlogged_owners++] = {uid, 0};
      g_unlogged[i].count++;
      g_refusals_flooding.store(true, std::memory_order_relaxed);
    }
  }
  log_unlogged(ended, ended_count);
  return logged;
}

}  // namespace

// The counts of a second that has ended are told even when no refusal follows them.
void report_unlogged_refusals() {
  if (!g_refusals_flooding.load(std::memory_order_relaxed)) return;
  unlogged_refusals ended[UNLOGGED_OWNERS];
  int ended_count;
  {
    std::lock_guard<std::mutex> guard(g_refusal_mutex);
    int64_t second = current_second();
    if (second == g_refusal_second) return;
    ended_count = roll_over_locked(second, ended);
  }
  log_unlogged(ended, ended_count);
}

// While refusals go unlogged, the accepting thread looks at each new client's
// owner itself, so that a connection whose refusal is only counted costs no line.
bool refused_without_a_line(int client_fd) {
  if (!g_refusals_flooding.load(std::memory_order_relaxed)) return false;
  owner_answer answer = find_owner(client_fd);
  return answer.finding != owner_finding::allowed && !refusal_logged(answer.uid);
}

client_verdict client_allowed(int client_fd) {
  owner_answer answer = find_owner(client_fd);
  if (answer.finding == owner_finding::allowed) return client_verdict::allowed;
  // Beyond the second's few lines the refusal is only counted; so is a
  // client that has left, whose lines would be those of an empty request.
  if (!refusal_logged(answer.uid)) return client_verdict::refused;
  errno = answer.error;
  int port = answer.port;
  switch (answer.finding) {
    case owner_finding::allowed: return client_verdict::allowed;  // (answered above)
    case owner_finding::left: return client_verdict::left;
    case owner_finding::other_user:
      LOG(LOG_ERROR, "client fd %d from port %d belongs to uid %u, not allowed, close it", client_fd, port,
          static_cast<unsigned>(answer.uid));
      break;
    case owner_finding::no_socket:
      LOG(LOG_ERROR, "client fd %d from port %d: no socket of this host connected, not allowed, close it", client_fd,
          port);
      break;
    case owner_finding::lookup_failed:
      LOG_ERRNO(LOG_ERROR, "client fd %d from port %d: unable to find who connected, not allowed, close it", client_fd,
                port);
      break;
    case owner_finding::unnamed: LOG_ERRNO(LOG_ERROR, "client fd %d: unable to tell who connected, close it", client_fd);
  }
  return client_verdict::refused;
}
