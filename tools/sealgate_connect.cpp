// sealgate-connect: speaks sealgate's client protocol from the command line.
// It sends one connection request, waits for the status reply and then
// relays standard input to the server and the server's bytes to standard
// output, like nc.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <jansson.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum exit_code { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_UNREACHABLE = 2, EXIT_REFUSED = 3, EXIT_BAD_REPLY = 4, EXIT_IO = 5 };

const char *const k_reply = "{\"Status\": \"Continue\"}";
constexpr size_t k_reply_length = 22;

const char *const k_help =
    "usage: sealgate-connect --server HOST:PORT [options]\n"
    "\n"
    "Asks sealgate to open a TLS connection to HOST:PORT, waits for its reply\n"
    "{\"Status\": \"Continue\"}, then copies standard input to the server and the\n"
    "server's bytes to standard output until the server closes (like nc).\n"
    "\n"
    "Where sealgate is:\n"
    "  --sealgate HOST:PORT  sealgate's address (default 127.0.0.1:8086)\n"
    "\n"
    "The connection request:\n"
    "  --server HOST:PORT    the TLS server (\"ServerAddr\"; without :PORT sealgate uses 443)\n"
    "  --ca FILE             PEM file of the CA certificates the server's chain must\n"
    "                        lead to (\"CACertPemFile\"; default\n"
    "                        /etc/ssl/certs/ca-certificates.crt)\n"
    "  --insecure            do not ask sealgate to verify the server's chain and\n"
    "                        that its certificate names HOST (\"VerifyServer\": false)\n"
    "  --skip-verify         skip the OCSP revocation check of the server certificate\n"
    "                        (\"SkipVerify\"; the chain and name are still verified)\n"
    "  --eca                 send the server name \"ECA\" in the TLS handshake\n"
    "  --cert FILE --key FILE  client certificate chain and private key (PEM)\n"
    "  --pass-file FILE      file holding the key's passphrase, byte for byte\n"
    "  --seconds N           time budget for connecting to the server (default 30)\n"
    "  --proxy TEXT          the \"Proxy\" field (sealgate keeps it but connects directly)\n"
    "  --request FILE        send FILE's content as the request, exactly as it stands\n"
    "\n"
    "Relaying:\n"
    "  --linger SECONDS      once standard input has ended, stop after this many\n"
    "                        seconds without bytes from the server (default: wait\n"
    "                        until the server closes). sealgate ends a connection\n"
    "                        as soon as its client closes, so standard input ending\n"
    "                        does not close the connection.\n"
    "\n"
    "Exit codes:\n"
    "  0  the relay ended cleanly\n"
    "  1  bad command line or unreadable --request file\n"
    "  2  sealgate could not be reached\n"
    "  3  sealgate closed the connection without a reply: the request was refused\n"
    "     (bad request, unreachable server, failed handshake, unverified or\n"
    "     revoked certificate); sealgate's log says why\n"
    "  4  sealgate answered with something other than the status reply\n"
    "  5  an I/O error during the relay\n";

struct options {
  std::string sealgate_host = "127.0.0.1";
  std::string sealgate_port = "8086";
  std::string server;
  bool skip_verify = false;
  bool insecure = false;
  bool eca = false;
  // The trust anchors the server's chain must lead to.
  std::string ca = "/etc/ssl/certs/ca-certificates.crt";
  std::string cert, key, pass_file, proxy, request_file;
  long long seconds = 30;
  int linger_seconds = -1;
};

[[noreturn]] void fail(int code, const std::string &message) {
  fprintf(stderr, "sealgate-connect: %s\n", message.c_str());
  exit(code);
}

bool split_host_port(const std::string &text, std::string &host, std::string &port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return true;
}

options parse(int argc, char **argv) {
  options o;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(EXIT_USAGE, arg + " needs a value (see --help)");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      fputs(k_help, stdout);
      exit(EXIT_OK);
    } else if (arg == "--sealgate") {
      if (!split_host_port(value(), o.sealgate_host, o.sealgate_port)) fail(EXIT_USAGE, "--sealgate wants HOST:PORT");
    } else if (arg == "--server") {
      o.server = value();
    } else if (arg == "--skip-verify") {
      o.skip_verify = true;
    } else if (arg == "--insecure") {
      o.insecure = true;
    } else if (arg == "--eca") {
      o.eca = true;
    } else if (arg == "--ca") {
      o.ca = value();
    } else if (arg == "--cert") {
      o.cert = value();
    } else if (arg == "--key") {
      o.key = value();
    } else if (arg == "--pass-file") {
      o.pass_file = value();
    } else if (arg == "--seconds") {
      o.seconds = atoll(value().c_str());
    } else if (arg == "--proxy") {
      o.proxy = value();
    } else if (arg == "--request") {
      o.request_file = value();
    } else if (arg == "--linger") {
      o.linger_seconds = atoi(value().c_str());
    } else {
      fail(EXIT_USAGE, "unknown option " + arg + " (see --help)");
    }
  }
  if (o.server.empty() && o.request_file.empty()) fail(EXIT_USAGE, "--server HOST:PORT is required (see --help)");
  if (o.cert.empty() != o.key.empty()) fail(EXIT_USAGE, "--cert and --key go together");
  return o;
}

std::string build_request(const options &o) {
  if (!o.request_file.empty()) {
    std::ifstream in(o.request_file, std::ios::binary);
    if (!in) fail(EXIT_USAGE, "cannot read " + o.request_file);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  json_t *request = json_object();
  json_object_set_new(request, "ServerAddr", json_string(o.server.c_str()));
  json_object_set_new(request, "Proxy", json_string(o.proxy.c_str()));
  json_object_set_new(request, "SkipVerify", json_boolean(o.skip_verify));
  json_object_set_new(request, "UseECA", json_boolean(o.eca));
  json_object_set_new(request, "VerifyServer", json_boolean(!o.insecure));
  json_object_set_new(request, "SecondsPerTry", json_integer(o.seconds));
  json_object_set_new(request, "CACertPemFile", json_string(o.ca.c_str()));
  if (!o.cert.empty()) {
    json_object_set_new(request, "CertFile", json_string(o.cert.c_str()));
    json_object_set_new(request, "KeyFile", json_string(o.key.c_str()));
    json_object_set_new(request, "PassPhraseFile", json_string(o.pass_file.c_str()));
  }
  char *text = json_dumps(request, JSON_PRESERVE_ORDER);
  json_decref(request);
  std::string out = text;
  free(text);
  return out;
}

int connect_sealgate(const options &o) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  std::string where = o.sealgate_host + ":" + o.sealgate_port;
  int rc = getaddrinfo(o.sealgate_host.c_str(), o.sealgate_port.c_str(), &hints, &list);
  if (rc != 0) fail(EXIT_UNREACHABLE, "cannot reach sealgate at " + where + ": " + gai_strerror(rc));
  int fd = -1, error = 0;
  for (struct addrinfo *a = list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) fail(EXIT_UNREACHABLE, "cannot reach sealgate at " + where + ": " + strerror(error));
  return fd;
}

bool write_all(int fd, const char *data, size_t length, bool socket) {
  while (length > 0) {
    ssize_t n = socket ? send(fd, data, length, MSG_NOSIGNAL) : write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void read_reply(int fd) {
  char reply[k_reply_length];
  size_t have = 0;
  while (have < k_reply_length) {
    ssize_t n = recv(fd, reply + have, k_reply_length - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(EXIT_REFUSED, std::string("connection to sealgate failed before the reply: ") + strerror(errno));
    if (n == 0) {
      if (have == 0)
        fail(EXIT_REFUSED, "sealgate closed the connection without a reply: the request was refused (see sealgate's log)");
      fail(EXIT_BAD_REPLY, "sealgate closed the connection in the middle of its reply");
    }
    have += static_cast<size_t>(n);
  }
  if (memcmp(reply, k_reply, k_reply_length) != 0) fail(EXIT_BAD_REPLY, "unexpected reply from sealgate");
}

int relay(int fd, int linger_seconds) {
  bool input_open = true;
  char buffer[65536];
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {input_open ? 0 : -1, POLLIN, 0}};
    int timeout = input_open || linger_seconds < 0 ? -1 : linger_seconds * 1000;
    int ready = poll(p, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return EXIT_IO;
    }
    if (ready == 0) return EXIT_OK;  // input done and the server has gone quiet
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n == 0) return EXIT_OK;
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        fprintf(stderr, "sealgate-connect: connection error: %s\n", strerror(errno));
        return EXIT_IO;
      }
      if (!write_all(1, buffer, static_cast<size_t>(n), false)) return EXIT_IO;
    }
    if (input_open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = read(0, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        input_open = false;  // no FIN: sealgate would end the whole connection
        continue;
      }
      if (!write_all(fd, buffer, static_cast<size_t>(n), true)) {
        fprintf(stderr, "sealgate-connect: connection error: %s\n", strerror(errno));
        return EXIT_IO;
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  options o = parse(argc, argv);
  std::string request = build_request(o);
  int fd = connect_sealgate(o);
  // The request goes out in one piece: sealgate reads it with a single receive.
  if (!write_all(fd, request.data(), request.size(), true))
    fail(EXIT_UNREACHABLE, std::string("cannot send the request to sealgate: ") + strerror(errno));
  read_reply(fd);
  int rc = relay(fd, o.linger_seconds);
  close(fd);
  return rc;
}
