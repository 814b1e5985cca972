#include "protocol.h"

#include <arpa/inet.h>
#include <atomic>
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
#include <unordered_set>
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

// ---- outbound connector ----

namespace {

std::atomic<resolver_fn> g_resolver{getaddrinfo};
std::mutex g_address_cache_mutex;
std::unordered_set<std::string> g_address_cache;

constexpr size_t ADDRESS_TEXT_SIZE = 128;

void address_text(const struct addrinfo *entry, char *text) {
  const void *address = nullptr;
  if (entry->ai_family == AF_INET)
    address = &reinterpret_cast<const struct sockaddr_in *>(entry->ai_addr)->sin_addr;
  else if (entry->ai_family == AF_INET6)
    address = &reinterpret_cast<const struct sockaddr_in6 *>(entry->ai_addr)->sin6_addr;
  if (address == nullptr || inet_ntop(entry->ai_family, address, text, ADDRESS_TEXT_SIZE) == nullptr)
    snprintf(text, ADDRESS_TEXT_SIZE, "Unknown AF");
}

bool is_inet(const struct addrinfo *entry) { return entry->ai_family == AF_INET || entry->ai_family == AF_INET6; }

// Addresses found in the cache go first, the last one found first of all; a
// found address leaves the cache until it connects again.
std::vector<struct addrinfo *> reorder_candidates(struct addrinfo *list, int &count) {
  std::vector<struct addrinfo *> ordered;
  count = 0;
  std::lock_guard<std::mutex> guard(g_address_cache_mutex);
  for (struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    if (!is_inet(entry)) {
      ordered.push_back(entry);
      continue;
    }
    char text[ADDRESS_TEXT_SIZE];
    address_text(entry, text);
    count++;
    auto found = g_address_cache.find(text);
    if (found != g_address_cache.end()) {
      g_address_cache.erase(found);
      ordered.insert(ordered.begin(), entry);
    } else {
      ordered.push_back(entry);
    }
  }
  return ordered;
}

// Waits for the connect to finish. True when connected; result_code as the
// failure lines report it.
bool wait_connected(int64_t log_fd, int fd, int wait_ms, int &result_code) {
  for (int failures = 0;;) {
    struct pollfd p = {fd, POLLOUT, 0};
    int rc = poll(&p, 1, wait_ms);
    result_code = rc;
    if (rc < 0) {
      if (++failures < CONNECT_POLL_RETRIES) continue;
      return false;
    }
    if (rc == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if ((p.revents & POLLOUT) == 0) return false;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
      char text[ERROR_TEXT_SIZE];
      int error = 0;
      socket_error_text(text, &error);
      if (error != 0)
        LOG(LOG_DEBUG, "client fd %d Unable to connect, getsockopt - %d, %s", static_cast<int>(log_fd), error, text);
      else
        LOG(LOG_DEBUG, "client fd %d Unable to connect, getsockopt - errno not set", static_cast<int>(log_fd));
      result_code = -2;
      return false;
    }
    if (pending != 0) {
      char text[ERROR_TEXT_SIZE];
      LOG(LOG_DEBUG, "client fd %d Unable to connect connerr - %d, %s", static_cast<int>(log_fd), pending,
          errno_text(pending, text));
      result_code = -3;
      errno = pending;
      return false;
    }
    return true;
  }
}

// Failures of this host rather than of the peer: no descriptor, no memory, no local port.
bool local_failure(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EADDRNOTAVAIL ||
         error == EAGAIN;
}

// One address: a socket, a non-blocking connect and the wait. -1 when it failed.
int try_address(int64_t log_fd, const struct addrinfo *entry, const char *port, int wait_ms, int &result_code,
                bool &failed_here) {
  int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, entry->ai_protocol);
  if (fd < 0) {
    int error = errno;
    failed_here |= local_failure(error);
    if (error != 0) {
      char text[ERROR_TEXT_SIZE];
      LOG(LOG_ERROR, "client fd %d Unable to connect create socket for type (%d, %d, %d) - %s",
          static_cast<int>(log_fd), entry->ai_family, entry->ai_socktype, entry->ai_protocol, errno_text(error, text));
    } else {
      LOG(LOG_ERROR, "client fd %d Unable to connect create socket for type (%d, %d, %d) - errno not set",
          static_cast<int>(log_fd), entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    }
    return -1;
  }
  char text[ADDRESS_TEXT_SIZE];
  address_text(entry, text);
  bool connected;
  int rc;
  do {
    rc = connect(fd, entry->ai_addr, entry->ai_addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    connected = true;
  } else if (errno == EINPROGRESS) {
    LOG(LOG_DEBUG, "client fd %d connecting to %s:%s is in progress, check fd %d later", static_cast<int>(log_fd),
        text, port, fd);
    connected = wait_connected(log_fd, fd, wait_ms, result_code);
  } else {
    failed_here |= local_failure(errno);
    connected = false;
  }
  if (connected) {
    std::lock_guard<std::mutex> guard(g_address_cache_mutex);
    g_address_cache.insert(text);
    return fd;
  }
  int error = errno;
  if (error != 0) {
    char message[ERROR_TEXT_SIZE];
    LOG(LOG_WARN, "client fd %d failed to connect fd %d %s:%s - %s", static_cast<int>(log_fd), fd, text, port,
        errno_text(error, message));
  } else {
    LOG(LOG_WARN, "client fd %d failed to connect fd %d %s:%s - errno not set", static_cast<int>(log_fd), fd, text,
        port);
  }
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

int do_connect(int64_t log_fd, const char *host, const char *port, int *out_socket, uint16_t *out_local_port,
               int32_t seconds_per_try) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;  // with no flags both families come back
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  int rc = g_resolver.load()(host, port, &hints, &list);
  if (rc != 0 || list == nullptr) {
    const char *reason = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
    int error = errno;
    LOG(LOG_ERROR, "client fd %d Unable to resolve %s:%s - %s", static_cast<int>(log_fd), host, port, reason);
    if (list != nullptr) freeaddrinfo(list);
    errno = error;
    return rc == EAI_MEMORY || (rc == EAI_SYSTEM && local_failure(error)) ? DO_CONNECT_LOCAL_FAILURE : 1;
  }
  LOG(LOG_DEBUG, "client fd %d try connecting %s:%s seconds_per_try %d", static_cast<int>(log_fd), host, port,
      seconds_per_try);
  *out_socket = -1;
  int count = 0;
  std::vector<struct addrinfo *> candidates = reorder_candidates(list, count);
  // The budget is shared among the addresses. Products beyond the int range
  // are capped rather than wrapped.
  long long budget = static_cast<long long>(seconds_per_try) * 1000;
  if (budget > INT_MAX) budget = INT_MAX;
  int wait_ms = static_cast<int>(budget);
  if (count != 0) wait_ms /= count;
  if (seconds_per_try < 0) wait_ms = -1;
  int result_code = 0;
  bool failed_here = false;
  char used[ADDRESS_TEXT_SIZE] = "";
  errno = 0;
  for (struct addrinfo *entry : candidates) {
    if (*out_socket >= 0) break;
    if (!is_inet(entry)) continue;
    int fd = try_address(log_fd, entry, port, wait_ms, result_code, failed_here);
    if (fd >= 0) {
      *out_socket = fd;
      address_text(entry, used);
    }
  }
  freeaddrinfo(list);
  if (*out_socket >= 0) {
    *out_local_port = get_port_from_socket_fd(log_fd, *out_socket);
    LOG(LOG_INFO, "client fd %d connected %s %s:%s using %d:%d", static_cast<int>(log_fd), host, used, port,
        *out_socket, *out_local_port);
    return 0;
  }
  int error = errno;
  if (error != 0) {
    char text[ERROR_TEXT_SIZE];
    LOG(LOG_ERROR, "client fd %d ret %d connecting to %s:%s %s", static_cast<int>(log_fd), result_code, host, port,
        errno_text(error, text));
  } else {
    LOG(LOG_ERROR, "client fd %d ret %d connecting to %s:%s - errno not set", static_cast<int>(log_fd), result_code,
        host, port);
  }
  errno = error;
  return failed_here ? DO_CONNECT_LOCAL_FAILURE : 1;
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
}

void set_resolver_for_test(resolver_fn resolver) { g_resolver.store(resolver ? resolver : getaddrinfo); }

void set_no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
