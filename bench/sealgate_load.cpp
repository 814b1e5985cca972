// Load generator for the benchmarks: the same transfers through sealgate
// (request + 22-byte reply), through a plain TCP tunnel entrance (such as a
// TLS tunnel in client mode), or straight to the TLS server (the ceiling).
// Every transfer is checked byte for byte; every run is bounded in time;
// targets are loopback only. Prints one JSON object.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_common.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct settings {
  std::string mode = "sealgate";  // sealgate | tunnel | direct
  std::string scenario = "download";
  int port = 8086;         // where the load goes: sealgate, the tunnel entrance or the server
  int server_port = 0;     // the TLS server named in sealgate's request
  std::string ca = "/etc/ssl/certs/ca-certificates.crt";
  int conns = 4;
  uint64_t bytes = 64 << 20;
  double seconds = 5;
  int count = 1000;
  int pid = 0;
  double timeout = 60;
  bool verify = false;  // ask sealgate for the OCSP check (SkipVerify false)
  bool verify_server = false;  // ask sealgate to verify the server's chain and name (VerifyServer true)
  std::string server_host = "127.0.0.1";
};

settings g;
SSL_CTX *g_ctx = nullptr;
std::atomic<long> g_errors{0};
clock_type::time_point g_deadline;

struct connection {
  int fd = -1;
  SSL *ssl = nullptr;
  ~connection() {
    if (ssl != nullptr) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    if (fd >= 0) close(fd);
  }
  bool send_bytes(const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
      int n = ssl ? SSL_write(ssl, p, static_cast<int>(length))
                  : static_cast<int>(send(fd, p, length, MSG_NOSIGNAL));
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  int recv_some(void *out, size_t length) {
    return ssl ? SSL_read(ssl, out, static_cast<int>(length)) : static_cast<int>(recv(fd, out, length, 0));
  }
  bool recv_exact(void *out, size_t length) {
    char *p = static_cast<char *>(out);
    while (length > 0) {
      int n = recv_some(p, length);
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
};

int tcp_connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string sealgate_request(int server_port) {
  return "{\"ServerAddr\": \"" + g.server_host + ":" + std::to_string(server_port) +
         "\", \"Proxy\": \"\", \"SkipVerify\": " + (g.verify ? "false" : "true") + ", \"UseECA\": false, \"SecondsPerTry\": 10, \"CACertPemFile\": \"" +
         g.ca + "\"" + (g.verify_server ? ", \"VerifyServer\": true}" : "}");
}

// Opens a connection and makes it ready for application bytes.
bool open_connection(connection &c) {
  c.fd = tcp_connect(g.port);
  if (c.fd < 0) return false;
  if (g.mode == "direct") {
    c.ssl = SSL_new(g_ctx);
    SSL_set_fd(c.ssl, c.fd);
    return SSL_connect(c.ssl) == 1;
  }
  if (g.mode == "sealgate") {
    std::string request = sealgate_request(g.server_port);
    char reply[22];
    return c.send_bytes(request.data(), request.size()) && c.recv_exact(reply, sizeof reply) &&
           memcmp(reply, "{\"Status\": \"Continue\"}", 22) == 0;
  }
  return true;  // a tunnel entrance takes bytes right away
}

bool begin_transfer(connection &c, char mode, uint64_t length) {
  unsigned char header[bench::HEADER_SIZE];
  bench::make_header(header, mode, length);
  return c.send_bytes(header, sizeof header);
}

bool upload(uint64_t length) {
  connection c;
  if (!open_connection(c) || !begin_transfer(c, 'U', length)) return false;
  uint64_t at = 0;
  while (at < length) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(1 << 16, length - at));
    if (!c.send_bytes(bench::pattern_at(at), chunk)) return false;
    at += chunk;
  }
  char answer = 0;
  return c.recv_exact(&answer, 1) && answer == 'K';
}

bool download(uint64_t length) {
  connection c;
  if (!open_connection(c) || !begin_transfer(c, 'D', length)) return false;
  static thread_local unsigned char buffer[1 << 16];
  uint64_t at = 0;
  while (at < length) {
    int n = c.recv_some(buffer, static_cast<size_t>(std::min<uint64_t>(sizeof buffer, length - at)));
    if (n <= 0 || !bench::pattern_matches(buffer, static_cast<size_t>(n), at)) return false;
    at += static_cast<uint64_t>(n);
  }
  return true;
}

bool echo_once(connection &c, uint64_t offset) {
  unsigned char back[64];
  return c.send_bytes(bench::pattern_at(offset), 64) && c.recv_exact(back, 64) && bench::pattern_matches(back, 64, offset);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

double since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

long rss_kib(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

void print_result(const std::string &fields) {
  printf("{\"mode\": \"%s\", \"scenario\": \"%s\", \"errors\": %ld, %s}\n", g.mode.c_str(), g.scenario.c_str(),
         g_errors.load(), fields.c_str());
}

// User plus system CPU time of a process so far, in clock ticks; -1 if unknown.
long long cpu_ticks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  size_t name_end = line.rfind(')');  // the command name may hold spaces
  if (name_end == std::string::npos) return -1;
  std::istringstream fields(line.substr(name_end + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; i++) {  // fields 14 and 15 of the line
    if (i == 14) utime = atoll(field.c_str());
    if (i == 15) stime = atoll(field.c_str());
  }
  return fields ? utime + stime : -1;
}

// The CPU time of a process and of its children (a relay that forks
// workers counts them too), in nanoseconds; -1 if the process is gone.
// Clock ticks of the process's own account, which keeps the time of its
// threads that ended (a relay with a thread per connection has many).
long long tree_cpu_ns(int pid) {
  long long total = cpu_ticks(pid);
  if (total < 0) return -1;
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (int child; children >> child;)
    if (long long ticks = cpu_ticks(child); ticks > 0) total += ticks;
  return total * 1000000000LL / sysconf(_SC_CLK_TCK);
}

// With --pid, also that process tree's CPU time per GiB moved.
void run_throughput(bool up) {
  long long cpu_before = g.pid > 0 ? tree_cpu_ns(g.pid) : -1;
  std::vector<std::thread> threads;
  auto t0 = clock_type::now();
  for (int i = 0; i < g.conns; i++)
    threads.emplace_back([up] {
      if (!(up ? upload(g.bytes) : download(g.bytes))) g_errors++;
    });
  for (auto &t : threads) t.join();
  double elapsed = since(t0);
  long long cpu_after = cpu_before >= 0 ? tree_cpu_ns(g.pid) : -1;
  double mb = static_cast<double>(g.bytes) * g.conns / 1e6;
  char out[320];
  int length = snprintf(out, sizeof out, "\"conns\": %d, \"bytes_per_conn\": %llu, \"seconds\": %.3f, \"mb_per_s\": %.1f",
                        g.conns, static_cast<unsigned long long>(g.bytes), elapsed, mb / elapsed);
  if (cpu_after >= 0)
    snprintf(out + length, sizeof out - static_cast<size_t>(length), ", \"cpu_s_per_gib\": %.3f",
             static_cast<double>(cpu_after - cpu_before) / 1e9 /
                 (static_cast<double>(g.bytes) * g.conns / static_cast<double>(1 << 30)));
  print_result(out);
}

// Clients in a loop for a fixed time: each a full set-up, one 64-byte echo,
// and a close (connrate); or a request naming a closed port (refused).
// With --pid, also the CPU time that process spent per connection.
void run_rate(bool refused) {
  long long cpu_before = g.pid > 0 ? cpu_ticks(g.pid) : -1;
  std::mutex lock;
  std::vector<double> latencies;
  std::atomic<long> done{0};
  std::vector<std::thread> threads;
  auto t0 = clock_type::now();
  auto stop_at = t0 + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(g.seconds));
  for (int i = 0; i < g.conns; i++)
    threads.emplace_back([&] {
      std::vector<double> mine;
      while (clock_type::now() < stop_at) {
        auto start = clock_type::now();
        bool good;
        if (refused) {
          connection c;
          c.fd = tcp_connect(g.port);
          std::string request = sealgate_request(g.server_port);
          char byte;
          good = c.fd >= 0 && c.send_bytes(request.data(), request.size()) && recv(c.fd, &byte, 1, 0) == 0;
        } else {
          connection c;
          good = open_connection(c) && begin_transfer(c, 'E', 0) && echo_once(c, 0);
        }
        if (!good) g_errors++;
        mine.push_back(since(start) * 1000);
        done++;
      }
      std::lock_guard<std::mutex> guard(lock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  for (auto &t : threads) t.join();
  double elapsed = since(t0);
  long long cpu_after = cpu_before >= 0 ? cpu_ticks(g.pid) : -1;
  char out[320];
  int length = snprintf(out, sizeof out,
                        "\"conns\": %d, \"connections\": %ld, \"conn_per_s\": %.1f, \"p50_ms\": %.3f, \"p99_ms\": %.3f",
                        g.conns, done.load(), static_cast<double>(done.load()) / elapsed, percentile(latencies, 0.5),
                        percentile(latencies, 0.99));
  if (cpu_after >= 0 && done.load() > 0)
    snprintf(out + length, sizeof out - static_cast<size_t>(length), ", \"cpu_us_per_conn\": %.1f",
             static_cast<double>(cpu_after - cpu_before) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                 static_cast<double>(done.load()));
  print_result(out);
}

void run_latency() {
  connection c;
  std::vector<double> rtt;
  if (!open_connection(c) || !begin_transfer(c, 'E', 0)) {
    g_errors++;
  } else {
    for (int i = 0; i < g.count && clock_type::now() < g_deadline; i++) {
      auto t = clock_type::now();
      if (!echo_once(c, static_cast<uint64_t>(i) * 64)) {
        g_errors++;
        break;
      }
      rtt.push_back(since(t) * 1e6);
    }
  }
  char out[256];
  snprintf(out, sizeof out, "\"round_trips\": %zu, \"p50_us\": %.1f, \"p99_us\": %.1f", rtt.size(), percentile(rtt, 0.5),
           percentile(rtt, 0.99));
  print_result(out);
}

void run_idle() {
  {  // one connection first, so the relay's one-time set-up is not counted per connection
    connection c;
    if (!open_connection(c) || !begin_transfer(c, 'E', 0) || !echo_once(c, 0)) g_errors++;
  }
  long before = rss_kib(g.pid);
  std::vector<std::unique_ptr<connection>> open;
  for (int i = 0; i < g.count && clock_type::now() < g_deadline; i++) {
    auto c = std::make_unique<connection>();
    if (!open_connection(*c) || !begin_transfer(*c, 'E', 0) || !echo_once(*c, 0)) {
      g_errors++;
      continue;
    }
    open.push_back(std::move(c));
  }
  usleep(500000);
  long after = rss_kib(g.pid);
  char out[256];
  snprintf(out, sizeof out, "\"connections\": %zu, \"rss_before_kib\": %ld, \"rss_after_kib\": %ld, \"kib_per_conn\": %.1f",
           open.size(), before, after, open.empty() ? 0.0 : static_cast<double>(after - before) / static_cast<double>(open.size()));
  print_result(out);
}

long status_kib(int pid, const char *field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t length = strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, length, field) == 0) return atol(line.c_str() + length);
  return -1;
}

// Many relayed connections at once: all opened, then data moved on every
// one and checked, then the peak memory of the relay per connection.
void run_many() {
  long before = status_kib(g.pid, "VmRSS:");
  std::vector<std::unique_ptr<connection>> open(static_cast<size_t>(g.count));
  std::vector<std::thread> openers;
  int threads = std::max(1, std::min(g.conns, g.count));
  auto t0 = clock_type::now();
  for (int t = 0; t < threads; t++)
    openers.emplace_back([&, t] {
      for (int i = t; i < g.count && clock_type::now() < g_deadline; i += threads) {
        auto c = std::make_unique<connection>();
        if (!open_connection(*c) || !begin_transfer(*c, 'E', 0)) {
          g_errors++;
          continue;
        }
        open[static_cast<size_t>(i)] = std::move(c);
      }
    });
  for (auto &t : openers) t.join();
  double open_seconds = since(t0);
  // Every connection carries 4 KiB out and back, all in flight together.
  constexpr size_t chunk = 4096;
  size_t live = 0;
  for (size_t i = 0; i < open.size(); i++)
    if (open[i] && !open[i]->send_bytes(bench::pattern_at(i * 7), chunk)) g_errors++;
  std::vector<unsigned char> back(chunk);
  for (size_t i = 0; i < open.size(); i++) {
    if (!open[i]) continue;
    if (!open[i]->recv_exact(back.data(), chunk) || !bench::pattern_matches(back.data(), chunk, i * 7)) g_errors++;
    else live++;
  }
  long peak = status_kib(g.pid, "VmHWM:");
  long rss = status_kib(g.pid, "VmRSS:");
  open.clear();
  char out[320];
  snprintf(out, sizeof out,
           "\"connections\": %zu, \"open_seconds\": %.2f, \"rss_before_kib\": %ld, \"rss_with_all_kib\": %ld, "
           "\"peak_rss_kib\": %ld, \"kib_per_conn\": %.1f",
           live, open_seconds, before, rss, peak, live ? static_cast<double>(peak - before) / static_cast<double>(live) : 0.0);
  print_result(out);
}

void usage() {
  fprintf(stderr,
          "usage: sealgate-load --mode sealgate|tunnel|direct --scenario upload|download|connrate|latency|idle|refused|many\n"
          "       --port P [--server-port S] [--ca FILE] [--conns N] [--bytes N] [--seconds S] [--count N]\n"
          "       [--pid PID] [--timeout S] [--server-host H] [--verify 1] [--verify-server 1]\n");
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--mode") g.mode = v;
    else if (k == "--scenario") g.scenario = v;
    else if (k == "--port") g.port = atoi(v.c_str());
    else if (k == "--server-port") g.server_port = atoi(v.c_str());
    else if (k == "--ca") g.ca = v;
    else if (k == "--conns") g.conns = atoi(v.c_str());
    else if (k == "--bytes") g.bytes = strtoull(v.c_str(), nullptr, 10);
    else if (k == "--seconds") g.seconds = atof(v.c_str());
    else if (k == "--count") g.count = atoi(v.c_str());
    else if (k == "--pid") g.pid = atoi(v.c_str());
    else if (k == "--timeout") g.timeout = atof(v.c_str());
    else if (k == "--verify") g.verify = v == "1";
    else if (k == "--verify-server") g.verify_server = v == "1";
    else if (k == "--server-host") g.server_host = v;
    else usage();
  }
  if (argc % 2 == 0) usage();
  g_deadline = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(g.timeout));
  // The whole run is bounded: a stuck transfer ends the process.
  std::thread([] {
    std::this_thread::sleep_until(g_deadline + std::chrono::seconds(5));
    fprintf(stderr, "sealgate-load: time limit reached\n");
    _exit(3);
  }).detach();
  struct rlimit limit;  // thousands of connections need thousands of descriptors
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  g_ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(g_ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(g_ctx, TLS1_2_VERSION);
  if (g.scenario == "upload") run_throughput(true);
  else if (g.scenario == "download") run_throughput(false);
  else if (g.scenario == "connrate") run_rate(false);
  else if (g.scenario == "refused") run_rate(true);
  else if (g.scenario == "latency") run_latency();
  else if (g.scenario == "idle") run_idle();
  else if (g.scenario == "many") run_many();
  else usage();
  return g_errors.load() == 0 ? 0 : 1;
}
