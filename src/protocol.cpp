#include "protocol.h"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <list>
#include <unordered_map>
#include <vector>

#include "log.h"

namespace {

// A string key whose value is not a JSON string is treated like an absent key.
bool take_string(json_t *root, const char *key, std::string &field) {
  json_t *value = json_object_get(root, key);
  if (value == nullptr || !json_is_string(value)) return false;
  field.assign(json_string_value(value), json_string_length(value));
  return true;
}

// Booleans are true only for the literal true.
bool take_bool(json_t *root, const char *key, bool &field) {
  json_t *value = json_object_get(root, key);
  if (value == nullptr) return false;
  field = json_is_true(value);
  return true;
}

bool take_seconds(json_t *root, const char *key, int32_t &field) {
  json_t *value = json_object_get(root, key);
  if (value == nullptr) return false;
  // Only a JSON integer counts, reduced to its low 32 bits; any other type gives 0.
  field = json_is_integer(value)
              ? static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(json_integer_value(value))))
              : 0;
  return true;
}

void take_client_certificate(json_t *root, connection_info &info) {
  std::string key_file, cert_file;
  if (!take_string(root, "KeyFile", key_file) || !take_string(root, "CertFile", cert_file)) return;
  info.key_file = key_file;
  info.cert_file = cert_file;
  // Without a PassPhraseFile string the key is taken as not protected.
  if (!take_string(root, "PassPhraseFile", info.pass_phrase_file)) LOG(LOG_ERROR, "Unable to find PassPhraseFile");
}

}  // namespace

int parse_connection_info(const char *text, connection_info &info) {
  json_error_t error;
  json_t *root = json_loads(text, 0, &error);
  if (root == nullptr) {
    LOG(LOG_ERROR, "Unable to parse json %s - %s", text, error.text);
    return -1;
  }
  if (!json_is_object(root)) {
    LOG(LOG_ERROR, "Wrong format in json");
    json_decref(root);
    return -1;
  }
  if (!take_string(root, "Proxy", info.proxy)) LOG(LOG_ERROR, "Unable to find Proxy");
  if (!take_bool(root, "SkipVerify", info.skip_verify)) LOG(LOG_ERROR, "Unable to find SkipVerify");
  if (!take_bool(root, "UseECA", info.use_eca)) LOG(LOG_ERROR, "Unable to find UseECA");
  // A key clients added later: requests without it are served as before, without a line.
  take_bool(root, "VerifyServer", info.verify_server);
  if (!take_seconds(root, "SecondsPerTry", info.seconds_per_try)) LOG(LOG_ERROR, "Unable to find SecondsPerTry");
  if (!take_string(root, "CACertPemFile", info.ca_cert_pem_file)) LOG(LOG_ERROR, "Unable to find CAFile");
  take_client_certificate(root, info);
  bool has_server = take_string(root, "ServerAddr", info.server_addr);
  if (!has_server) LOG(LOG_ERROR, "Unable to find ServerAddr");
  json_decref(root);
  return has_server ? 0 : -1;
}

int send_client_status(int64_t client_fd) {
  json_t *status = json_object();
  if (status == nullptr) {
    LOG(LOG_ERROR, "No more memory to alloc json object");
    return -1;
  }
  json_object_set_new(status, "Status", json_string("Continue"));
  char *text = json_dumps(status, 0);
  json_decref(status);
  if (text == nullptr) {
    LOG(LOG_ERROR, "Unable to dump json string");
    return -1;
  }
  int length = static_cast<int>(strlen(text));
  LOG(LOG_DEBUG, "try to send status to client fd %d - size %d %s", static_cast<int>(client_fd), length, text);
  ssize_t sent = send(static_cast<int>(client_fd), text, static_cast<size_t>(length), MSG_NOSIGNAL);
  int saved = errno;
  free(text);
  errno = saved;
  return sent == length ? 0 : -1;
}

namespace {

// Whether the resolver takes `port` for a number outside 1-65535: it reads a
// port as strtoul does (blanks, a sign, digits and nothing after them; an
// empty text reads as 0) and keeps the low 16 bits.
bool port_out_of_range(const char *port) {
  if (*port == '\0') return true;
  const char *p = port;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') p++;
  const char *digits = p;
  unsigned long value = 0;
  for (; *p >= '0' && *p <= '9'; p++) value = std::min(value * 10 + static_cast<unsigned long>(*p - '0'), 65536UL);
  if (*p != '\0' || p == digits) return false;  // a service name
  return negative || value == 0 || value > 65535;
}

}  // namespace

server_port split_server_address(const std::string &server_addr, std::string &host, std::string &port) {
  size_t bracket = server_addr.find(']'), colon = server_addr.rfind(':');
  bool v6 = !server_addr.empty() && server_addr[0] == '[' && bracket != std::string::npos &&
            (bracket + 1 == server_addr.size() || server_addr[bracket + 1] == ':');
  if (v6 ? bracket + 1 == server_addr.size() : colon == std::string::npos) {
    host = v6 ? server_addr.substr(1, bracket - 1) : server_addr;
    port = "443";
    return server_port::default_443;
  }
  host = v6 ? server_addr.substr(1, bracket - 1) : server_addr.substr(0, colon);
  port = server_addr.substr(v6 ? bracket + 2 : colon + 1);
  if (!port_out_of_range(port.c_str())) return server_port::given;
  LOG(LOG_ERROR, "server address %s: port %s is not between 1 and 65535, refused", server_addr.c_str(), port.c_str());
  return server_port::refused;
}

// ---- outbound connector ----

namespace {

std::atomic<resolver_fn> g_resolver{nullptr};
// The addresses that connected last, oldest first, at most
// ADDRESS_CACHE_LIMIT of them: past that the oldest goes.
std::mutex g_address_cache_mutex;
std::list<std::string> g_address_order;
std::unordered_map<std::string, std::list<std::string>::iterator> g_address_cache;

void forget_address_locked(std::unordered_map<std::string, std::list<std::string>::iterator>::iterator found) {
  g_address_order.erase(found->second);
  g_address_cache.erase(found);
}

void remember_address(const char *text) {
  std::lock_guard<std::mutex> guard(g_address_cache_mutex);
  auto found = g_address_cache.find(text);
  if (found != g_address_cache.end()) forget_address_locked(found);
  while (g_address_cache.size() >= ADDRESS_CACHE_LIMIT) forget_address_locked(g_address_cache.find(g_address_order.front()));
  g_address_order.emplace_back(text);
  g_address_cache.emplace(g_address_order.back(), std::prev(g_address_order.end()));
}

using steady = std::chrono::steady_clock;

void address_text(int family, const struct sockaddr *address, char *text) {
  const void *ip = nullptr;
  if (family == AF_INET)
    ip = &reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr;
  else if (family == AF_INET6)
    ip = &reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_addr;
  if (ip == nullptr || inet_ntop(family, ip, text, CONNECT_ADDRESS_TEXT_SIZE) == nullptr)
    snprintf(text, CONNECT_ADDRESS_TEXT_SIZE, "Unknown AF");
}

bool is_inet(int family) { return family == AF_INET || family == AF_INET6; }

// Addresses found in the cache go first, the last one found first of all; a
// found address leaves the cache until it connects again. Other families
// keep their place and are not counted.
void order_candidates(const struct addrinfo *list, outbound_connect &c, int &count) {
  count = 0;
  std::lock_guard<std::mutex> guard(g_address_cache_mutex);
  for (const struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    outbound_connect::candidate one;
    one.family = entry->ai_family;
    one.socktype = entry->ai_socktype;
    one.protocol = entry->ai_protocol;
    one.length = std::min<socklen_t>(entry->ai_addrlen, sizeof one.address);
    memcpy(&one.address, entry->ai_addr, one.length);
    if (!is_inet(entry->ai_family)) {
      c.candidates.push_back(one);
      continue;
    }
    char text[CONNECT_ADDRESS_TEXT_SIZE];
    address_text(entry->ai_family, entry->ai_addr, text);
    count++;
    auto found = g_address_cache.find(text);
    if (found != g_address_cache.end()) {
      forget_address_locked(found);
      c.candidates.insert(c.candidates.begin(), one);
    } else {
      c.candidates.push_back(one);
    }
  }
}

// Failures of this host rather than of the peer: no descriptor, no memory, no local port.
bool local_failure(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EADDRNOTAVAIL ||
         error == EAGAIN;
}

// The attempt's socket was reported writable or in error: the socket's own
// error says whether it connected.
bool attempt_connected(outbound_connect &c, int fd, short revents) {
  if ((revents & POLLOUT) == 0) {
    errno = 0;
    return false;
  }
  if ((revents & (POLLERR | POLLHUP)) == 0) return true;  // writable without an error: connected
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    if (error != 0)
      LOG_AT("do_connect", LOG_DEBUG, "client fd %d Unable to connect, getsockopt - %d, %s", static_cast<int>(c.log_fd),
             error, text);
    else
      LOG_AT("do_connect", LOG_DEBUG, "client fd %d Unable to connect, getsockopt - errno not set",
             static_cast<int>(c.log_fd));
    c.result_code = -2;
    errno = error;
    return false;
  }
  if (pending != 0) {
    char text[ERROR_TEXT_SIZE];
    LOG_AT("do_connect", LOG_DEBUG, "client fd %d Unable to connect connerr - %d, %s", static_cast<int>(c.log_fd),
           pending, errno_text(pending, text));
    c.result_code = -3;
    errno = pending;
    return false;
  }
  return true;
}

// What a look at the attempt's socket, without waiting, tells.
connect_progress look_at_attempt(outbound_connect &c, int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  int rc;
  do {
    rc = poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc > 0) {
    c.result_code = rc;
    return attempt_connected(c, fd, p.revents) ? connect_progress::connected : connect_progress::failed;
  }
  if (rc < 0) {
    c.result_code = rc;
    return ++c.poll_failures < CONNECT_POLL_RETRIES ? connect_progress::in_progress : connect_progress::failed;
  }
  c.poll_failures = 0;
  if (c.wait_ms >= 0 && steady::now() >= c.deadline) {
    c.result_code = 0;
    errno = ETIMEDOUT;
    return connect_progress::failed;
  }
  return connect_progress::in_progress;
}

void attempt_failed(outbound_connect &c, int &fd) {
  int error = errno;
  if (error != 0) {
    char message[ERROR_TEXT_SIZE];
    LOG_AT("do_connect", LOG_WARN, "client fd %d failed to connect fd %d %s:%s - %s", static_cast<int>(c.log_fd), fd,
           c.address, c.port.c_str(), errno_text(error, message));
  } else {
    LOG_AT("do_connect", LOG_WARN, "client fd %d failed to connect fd %d %s:%s - errno not set",
           static_cast<int>(c.log_fd), fd, c.address, c.port.c_str());
  }
  close(fd);
  fd = INVALID_CONNECT_FD;
  c.last_error = error;
}

connect_progress connected(outbound_connect &c, int fd, uint16_t &local_port) {
  remember_address(c.address);
  local_port = get_port_from_socket_fd(c.log_fd, fd);
  LOG_AT("do_connect", LOG_INFO, "client fd %d connected %s %s:%s using %d:%d", static_cast<int>(c.log_fd),
         c.host.c_str(), c.address, c.port.c_str(), fd, local_port);
  if (c.next > 0 && c.next <= c.candidates.size()) c.reached = c.candidates[c.next - 1];
  c.candidates.clear();
  c.candidates.shrink_to_fit();
  return connect_progress::connected;
}

connect_progress none_connected(outbound_connect &c) {
  int error = c.last_error;
  if (error != 0) {
    char text[ERROR_TEXT_SIZE];
    LOG_AT("do_connect", LOG_ERROR, "client fd %d ret %d connecting to %s:%s %s", static_cast<int>(c.log_fd),
           c.result_code, c.host.c_str(), c.port.c_str(), errno_text(error, text));
  } else {
    LOG_AT("do_connect", LOG_ERROR, "client fd %d ret %d connecting to %s:%s - errno not set",
           static_cast<int>(c.log_fd), c.result_code, c.host.c_str(), c.port.c_str());
  }
  errno = error;
  return c.failed_here ? connect_progress::failed_here : connect_progress::failed;
}

// Starts attempts from the next candidate on, until one connects or is in
// progress, or none is left.
connect_progress next_attempts(outbound_connect &c, int &fd, uint16_t &local_port) {
  while (c.next < c.candidates.size()) {
    const outbound_connect::candidate &one = c.candidates[c.next++];
    if (!is_inet(one.family)) continue;
    fd = socket(one.family, one.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, one.protocol);
    if (fd < 0) {
      int error = errno;
      c.failed_here |= local_failure(error);
      c.last_error = error;
      if (error != 0) {
        char text[ERROR_TEXT_SIZE];
        LOG_AT("do_connect", LOG_ERROR, "client fd %d Unable to connect create socket for type (%d, %d, %d) - %s",
               static_cast<int>(c.log_fd), one.family, one.socktype, one.protocol, errno_text(error, text));
      } else {
        LOG_AT("do_connect", LOG_ERROR,
               "client fd %d Unable to connect create socket for type (%d, %d, %d) - errno not set",
               static_cast<int>(c.log_fd), one.family, one.socktype, one.protocol);
      }
      fd = INVALID_CONNECT_FD;
      continue;
    }
    c.attempt++;
    c.poll_failures = 0;
    address_text(one.family, reinterpret_cast<const struct sockaddr *>(&one.address), c.address);
    int rc;
    do {
      rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&one.address), one.length);
    } while (rc != 0 && errno == EINTR);
    connect_progress progress = connect_progress::failed;
    if (rc == 0) {
      progress = connect_progress::connected;
    } else if (errno == EINPROGRESS) {
      LOG_AT("do_connect", LOG_DEBUG, "client fd %d connecting to %s:%s is in progress, check fd %d later",
             static_cast<int>(c.log_fd), c.address, c.port.c_str(), fd);
      // The attempt's share of the budget starts now; a connect on this host
      // is often complete at once, and then no wait is needed at all.
      c.deadline = steady::now() + std::chrono::milliseconds(std::max(c.wait_ms, 0));
      progress = look_at_attempt(c, fd);
    } else {
      c.failed_here |= local_failure(errno);
    }
    if (progress == connect_progress::connected) return connected(c, fd, local_port);
    if (progress == connect_progress::in_progress) return progress;
    attempt_failed(c, fd);
  }
  return none_connected(c);
}

}  // namespace

namespace {

struct addrinfo lookup_hints(int flags) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;  // with no flags both families come back
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return hints;
}

}  // namespace

// A name that needs the system's resolver (a hosts file, a name server, what
// else it is set up to ask): looked up on a helper thread.
struct name_lookup : offload_job {
  std::string host, port;
  int status = 0, error = 0;  // getaddrinfo's result, and errno with EAI_SYSTEM
  struct addrinfo *list = nullptr;
  void run() override {
    struct addrinfo hints = lookup_hints(0);
    errno = 0;
    status = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    error = errno;
  }
  ~name_lookup() override {
    if (list != nullptr) freeaddrinfo(list);
  }
};

outbound_connect::~outbound_connect() {
  if (lookup != nullptr) lookup->abandoned = true;
}

namespace {

// The answer for host:port (`rc`, getaddrinfo's result, with errno `error`):
// the addresses ordered and the first attempt started.
connect_progress resolved(outbound_connect &c, int rc, int error, struct addrinfo *list, int &fd, uint16_t &local_port) {
  if (rc != 0 || list == nullptr) {
    char text[ERROR_TEXT_SIZE];
    const char *reason = rc == EAI_SYSTEM ? errno_text(error, text) : gai_strerror(rc);
    LOG_AT("do_connect", LOG_ERROR, "client fd %d Unable to resolve %s:%s - %s", static_cast<int>(c.log_fd),
           c.host.c_str(), c.port.c_str(), reason);
    if (list != nullptr) freeaddrinfo(list);
    errno = error;
    return rc == EAI_MEMORY || (rc == EAI_SYSTEM && local_failure(error)) ? connect_progress::failed_here
                                                                          : connect_progress::failed;
  }
  LOG_AT("do_connect", LOG_DEBUG, "client fd %d try connecting %s:%s seconds_per_try %d", static_cast<int>(c.log_fd),
         c.host.c_str(), c.port.c_str(), c.seconds_per_try);
  int count = 0;
  order_candidates(list, c, count);
  freeaddrinfo(list);
  // The budget is shared among the addresses. Products beyond the int range
  // are capped rather than wrapped; a negative budget means no limit.
  long long budget = static_cast<long long>(c.seconds_per_try) * 1000;
  if (budget > INT_MAX) budget = INT_MAX;
  c.wait_ms = static_cast<int>(budget);
  if (count != 0) c.wait_ms /= count;
  if (c.seconds_per_try < 0) c.wait_ms = -1;
  errno = 0;
  return next_attempts(c, fd, local_port);
}

}  // namespace

connect_progress do_connect(outbound_connect &c, int64_t log_fd, const char *host, const char *port,
                            int32_t seconds_per_try, int &fd, uint16_t &local_port) {
  c.log_fd = log_fd;
  c.host = host;
  c.port = port;
  c.seconds_per_try = seconds_per_try;
  fd = INVALID_CONNECT_FD;
  struct addrinfo *list = nullptr;
  errno = 0;
  int rc;
  if (resolver_fn resolver = g_resolver.load()) {
    struct addrinfo hints = lookup_hints(0);
    rc = resolver(host, port, &hints, &list);
  } else {
    // An address written as a number needs no resolver: it is taken at once.
    // Any other name may wait on a name server, so it leaves the loop.
    struct addrinfo hints = lookup_hints(AI_NUMERICHOST);
    rc = getaddrinfo(host, port, &hints, &list);
    if (rc == EAI_NONAME) {
      auto lookup = std::make_shared<name_lookup>();
      lookup->host = host;
      lookup->port = port;
      lookup->waiter = c.waiter;
      c.lookup = lookup;
      offload(lookup, offload_pool::lookups);
      if (!lookup->done.load(std::memory_order_acquire)) return connect_progress::looking_up;
      return connect_resume(c, fd, local_port);  // answered here (no helper threads on this thread)
    }
  }
  return resolved(c, rc, errno, list, fd, local_port);
}

connect_progress connect_resume(outbound_connect &c, int &fd, uint16_t &local_port) {
  if (c.lookup != nullptr) {
    if (!c.lookup->done.load(std::memory_order_acquire)) return connect_progress::looking_up;
    std::shared_ptr<name_lookup> lookup = std::move(c.lookup);
    lookup->abandoned = true;  // its answer is taken: nothing more is to be announced
    struct addrinfo *list = lookup->list;
    lookup->list = nullptr;
    return resolved(c, lookup->status, lookup->error, list, fd, local_port);
  }
  errno = 0;
  connect_progress progress = look_at_attempt(c, fd);
  if (progress == connect_progress::connected) return connected(c, fd, local_port);
  if (progress == connect_progress::in_progress) return progress;
  attempt_failed(c, fd);
  return next_attempts(c, fd, local_port);
}

bool connect_deadline(const outbound_connect &c, std::chrono::steady_clock::time_point *when) {
  if (c.wait_ms < 0 || c.lookup != nullptr) return false;
  *when = c.deadline;
  return true;
}

uint16_t get_port_from_socket_fd(int64_t log_fd, int socket_fd) {
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(socket_fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    LOG(LOG_ERROR, "client fd %d failed getsockname on fd %d new error %d, %s", static_cast<int>(log_fd), socket_fd,
        error, text);
    return 0;
  }
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_port);
  return ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port);
}

void clear_address_cache() {
  std::lock_guard<std::mutex> guard(g_address_cache_mutex);
  g_address_cache.clear();
  g_address_order.clear();
}

void set_resolver_for_test(resolver_fn resolver) { g_resolver.store(resolver); }

void set_no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
