// The benchmark's TLS server: TLS 1.2 only, one fixed suite for every peer
// (ECDHE-ECDSA-AES128-GCM-SHA256 on P-256), no tickets and no session cache,
// so every connection is a full handshake. With --tickets it issues session
// tickets and resumes the sessions they carry (still no server-side cache).
// One thread per connection.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bench_common.h"

namespace {

bool read_exact(SSL *ssl, unsigned char *out, size_t length) {
  while (length > 0) {
    int n = SSL_read(ssl, out, static_cast<int>(length > 1 << 30 ? 1 << 30 : length));
    if (n <= 0) return false;
    out += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool write_all(SSL *ssl, const unsigned char *data, size_t length) {
  while (length > 0) {
    int n = SSL_write(ssl, data, static_cast<int>(length));
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void serve(SSL_CTX *ctx, int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  SSL *ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  unsigned char header[bench::HEADER_SIZE];
  if (SSL_accept(ssl) == 1 && read_exact(ssl, header, sizeof header)) {
    uint64_t length = bench::header_length(header);
    static thread_local unsigned char buffer[1 << 16];
    if (header[0] == 'U') {
      uint64_t at = 0;
      bool good = true;
      while (at < length) {
        int n = SSL_read(ssl, buffer, static_cast<int>(std::min<uint64_t>(sizeof buffer, length - at)));
        if (n <= 0) break;
        good = good && bench::pattern_matches(buffer, static_cast<size_t>(n), at);
        at += static_cast<uint64_t>(n);
      }
      unsigned char answer = good && at == length ? 'K' : 'X';
      write_all(ssl, &answer, 1);
      SSL_read(ssl, buffer, 1);  // wait for the client to go
    } else if (header[0] == 'D') {
      uint64_t at = 0;
      while (at < length) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(16384, length - at));
        if (!write_all(ssl, bench::pattern_at(at), chunk)) break;
        at += chunk;
      }
      SSL_read(ssl, buffer, 1);
    } else if (header[0] == 'E') {
      for (;;) {
        int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0 || !write_all(ssl, buffer, static_cast<size_t>(n))) break;
      }
    }
  }
  SSL_shutdown(ssl);
  SSL_free(ssl);
  close(fd);
}

}  // namespace

int main(int argc, char **argv) {
  bool tickets = argc == 5 && strcmp(argv[1], "--tickets") == 0;
  if (argc != 4 && !tickets) {
    fprintf(stderr, "usage: tls-bench-server [--tickets] PORT CERT KEY\n");
    return 1;
  }
  argv += tickets ? 1 : 0;
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, "ECDHE-ECDSA-AES128-GCM-SHA256");
  SSL_CTX_set1_groups_list(ctx, "P-256");
  if (!tickets) SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 || SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 4096) != 0) {
    perror("bind");
    return 1;
  }
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(serve, ctx, fd).detach();
  }
}
