// sealgate: relays a local client's plain TCP connection to a TLS server.
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <cstring>
#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "access.h"
#include "engine.h"
#include "listener.h"
#include "log.h"
#include "offload.h"
#include "ocsp.h"
#include "platform.h"
#include "protocol.h"
#include "credentials.h"
#include "tls_setup.h"

namespace {

const char *const k_version = "\n@(#) " SEALGATE_VERSION_TAG;

void on_stop_signal(int) { running = false; }

// SIGTERM, and SIGINT (Ctrl-C where sealgate runs in a terminal), run the stop sequence.
void install_stop_handlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;  // stays installed for the next signal
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void log_banner(const startup_settings &settings) {
  LOG_AT("main", LOG_INFO, "===== sealgate parameters =====");
  // The version text begins with a line break (the what-marker follows it);
  // written in the format, it is the program's own and not escaped.
  LOG_AT("main", LOG_INFO, "version - \n%s", k_version + 1);
  LOG_AT("main", LOG_INFO, "pid to check - %d", settings.pid);
  LOG_AT("main", LOG_INFO, "log path - %s", settings.log_path.c_str());
  LOG_AT("main", LOG_INFO, "Sealgate host:port - %s:%d", settings.socket_host.c_str(), settings.socket_port);
}

void stop_workers(int listen_fd, std::vector<pthread_t> &threads) {
  LOG(LOG_INFO, "Try to stop worker threads");
  close(listen_fd);
  for (size_t i = 0; i < threads.size(); i++) g_handoff_queue.enqueue(STOP_MARKER);
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  g_handoff_queue.close_wake_ups();
  offload_stop();
  clear_ocsp_cache();
  clear_address_cache();
  clear_context_cache();
  LOG(LOG_INFO, "All threads stopped, process will exit now");
}

// Everything from the listener on; the TLS set-up outlives it.
int serve(const startup_settings &settings) {
  if (socket_layer_start() != 0) {
    char text[ERROR_TEXT_SIZE];
    int error = 0;
    socket_error_text(text, &error);
    LOG(LOG_ERROR, "Windows socket subsystem could not be initialized. Error Code: %d, %s. Exiting..\n", error, text);
    return 1;
  }
  int listen_fd = server_setup_socket(settings.socket_host.c_str(), settings.socket_port);
  if (listen_fd < 0) {
    socket_layer_stop();
    return 1;
  }
  int pid = settings.pid == -1 ? static_cast<int>(getpid()) : settings.pid;
  allow_clients_of(pid);
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) {
    LOG_ERRNO(LOG_ERROR, "Unable to create epoll fd");
    close(listen_fd);
    socket_layer_stop();
    return 1;
  }
  std::vector<pthread_t> threads;
  if (create_worker_threads(threads) == 0) {
    close(listen_fd);
    close(epoll_fd);
    socket_layer_stop();
    return 1;
  }
  log_echo_errors(false);  // started: from here on the log alone tells
  run_accept_loop(listen_fd, epoll_fd, pid);
  stop_workers(listen_fd, threads);
  close(epoll_fd);
  socket_layer_stop();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  startup_settings settings;
  if (!parse_options(argc, argv, settings)) {
    print_usage();
    return 1;
  }
  init_log(settings.log_path.c_str(), "sealgate", settings.log_file_size, settings.log_level);
  log_banner(settings);
  raise_open_files_limit();
  // An allocator arena per thread (the workers and this one): threads that
  // share an arena wait on its lock, and a handshake allocates hundreds of
  // times. What the arenas keep after a busy spell goes back to the system
  // once a worker has been quiet a while, so idle connections cost no more.
  mallopt(M_ARENA_MAX, WORKER_COUNT + 4);
  if (tls_library_init() != 0) {
    LOG(LOG_ERROR, "Unable to init SSL library");
    fprintf(stderr, "sealgate: Unable to init SSL library - %s\n", first_error_text().c_str());
    return 1;
  }
  // A start-up failure is told on standard error too (its ERROR line),
  // where whoever started sealgate sees it, even without a log directory.
  log_echo_errors(true);
  openssl_setup tls_setup;  // released on every way out from here on
  tls_setup.request_fips_mode();
  install_stop_handlers();
  return serve(settings);
}
