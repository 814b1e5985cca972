// The data pump: client_io and server_io move bytes between the two sockets
// and the channel's buffers, and say which registrations the channel's state
// then asks for. The channel supplies the buffers and the socket I/O; the
// task's exit brings the registrations in step.
#include "pump.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "log.h"
#include "tls_setup.h"

// ---- data pump ----
//
// client_io and server_io move bytes; both registrations then follow from the
// channel's state alone (`wanted_masks`), never by adding and removing bits
// case by case. What the TLS layer waits for is part of that state: a read or
// a write that waits for the other direction of the socket is served by that
// event, and by nothing else, so a socket that is always writable never makes
// a waiting call run again and again.

namespace {

constexpr long CAPACITY_FOR_LOG = CHANNEL_BUFFER_SIZE;

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool owes_server(const connection_channel *ch) { return owed(ch->c2s) > 0 || tls_output_pending(ch); }

// A side with nothing left to deliver ends when its peer has ended; `closing`
// marks the side that still drains.
void settle(connection_channel *ch) {
  if (ch->server_ended && owed(ch->s2c) == 0) ch->client_ended = true;
  if (ch->client_ended && !owes_server(ch)) ch->server_ended = true;
  if (ch->client_ended != ch->server_ended) ch->closing = true;
}

// The registrations the state asks for:
//
//   cfd IN   c2s has room and the server side is open to take it
//   cfd OUT  s2c owes the client bytes
//   sfd IN   SSL_read may run: s2c has room (once the client has gone, only
//            when the write waits for a read), and the read does not wait to write
//   sfd OUT  the read waits to write; records wait in `out`; or c2s owes bytes
//            and the write does not wait for a read (while the library is in a
//            handshake the write waits for the read that completes it)
//   An ended side is never registered.
bool read_may_run(const connection_channel *ch) {
  return ch->client_ended ? ch->write_waits == tls_waits::readable : room(ch->s2c) > 0;
}

// The end of one pump step: the state settles and the buffers it emptied go
// back; the result says whether the side of this event has ended.
int finish_step(connection_channel *ch, bool client_side) {
  settle(ch);
  give_back_buffer(ch->c2s);
  give_back_buffer(ch->s2c);
  give_back_buffer(ch->out);
  return (client_side ? ch->client_ended : ch->server_ended) ? -1 : 0;
}

void log_client_error(connection_channel *ch, const char *what, bool fatal) {
  char text[ERROR_TEXT_SIZE];
  int error = 0;
  socket_error_text(text, &error);
  LOG_AT("client_io", LOG_DEBUG, "server fd %d client fd %d - %s error - %d, %s", ch->sfd, ch->cfd, what, error, text);
  if (fatal)
    LOG_AT("client_io", LOG_ERROR, "server fd %d client fd %d - %s error - %d, %s", ch->sfd, ch->cfd, what, error,
           text);
  errno = error;
}

// The WARN line for a socket error on the server side; errno is 0 while the
// line is written and holds `error` again afterwards.
void warn_server_io_error(const char *function, int sfd, int error) {
  errno = 0;
  char text[ERROR_TEXT_SIZE];
  if (error != 0)
    LOG_AT(function, LOG_WARN, "SYSCALL I/O error on server fd %d, errno %d, %s", sfd, error, errno_text(error, text));
  else
    LOG_AT(function, LOG_WARN, "SYSCALL I/O error on server fd %d, errno not set", sfd);
  errno = error;
}

// ---- the client's side ----

// One send of the s2c bytes to the client. False when the client side has ended.
bool send_to_client(connection_channel *ch, bool report_failure) {
  ssize_t n = send(ch->cfd, owed_bytes(ch->s2c), owed(ch->s2c), MSG_NOSIGNAL);
  if (n > 0) {
    bool emptied = delivered(ch->s2c, static_cast<uint32_t>(n));
    LOG_AT("client_io", LOG_DEBUG, "server fd %d client fd %d, sent %d s2c buffer length %d capacity %ld", ch->sfd,
           ch->cfd, static_cast<int>(n), ch->s2c.length, CAPACITY_FOR_LOG);
    if (emptied && ch->server_ended) ch->client_ended = true;  // drained: nothing more will come
    return !ch->client_ended;
  }
  if (!report_failure) return true;  // the client's own write event meets the error
  bool fatal = n < 0 ? !would_block(errno) : true;
  log_client_error(ch, "send to client", fatal);
  if (fatal) ch->client_ended = true;
  return !fatal;
}

// ---- the server's side ----

// The records of one SSL_write gather in `out` and leave in one send.
int gathered_ssl_write(connection_channel *ch) {
  ERR_clear_error();
  ch->gather_writes = true;
  int n = SSL_write(ch->ssl, owed_bytes(ch->c2s), static_cast<int>(owed(ch->c2s)));
  ch->gather_writes = false;
  return n;
}

// Sends what waits in `out`. False when a socket error ended the server side.
bool send_output(connection_channel *ch) {
  if (flush_output(ch) >= 0) return true;
  warn_server_io_error("server_io", ch->sfd, errno);
  ch->server_ended = true;
  return false;
}

// True from the moment the server asked for a new handshake until it is
// done. The library may put off starting it while records it read ahead are
// still to be taken, and then starts it within whichever call comes next.
bool renegotiating(const connection_channel *ch) {
  return !SSL_is_init_finished(ch->ssl) || SSL_renegotiate_pending(ch->ssl) == 1;
}

// One SSL_write of the c2s bytes, unless the server asked for a new
// handshake: only SSL_read may start and carry it on, since records the
// server sends before its answer are data for the client, which a write
// would take for handshake messages. False when the server side has ended.
bool write_to_server(connection_channel *ch) {
  if (renegotiating(ch)) {
    if (ch->write_waits != tls_waits::readable)
      LOG_AT("server_io", LOG_WARN, "SSL want to read from server fd %d client fd %d", ch->sfd, ch->cfd);
    ch->write_waits = tls_waits::readable;
    return true;
  }
  int n = gathered_ssl_write(ch);
  if (n < 1) {
    if (handle_ssl_error(n, ch->write_waits, ch)) {
      ch->server_ended = true;
      return false;
    }
    return send_output(ch);  // records made before the write stopped
  }
  ch->write_waits = tls_waits::nothing;
  bool sent = send_output(ch);
  if (delivered(ch->c2s, static_cast<uint32_t>(n)))
    LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, c2s buffer is empty", ch->sfd, ch->cfd);
  LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, sent %d c2s buffer length %d capacity %ld", ch->sfd,
         ch->cfd, n, ch->c2s.length, CAPACITY_FOR_LOG);
  return sent;
}

bool write_may_run(const connection_channel *ch) {
  return !ch->server_ended && owed(ch->c2s) > 0 && !tls_output_pending(ch) &&
         ch->write_waits != tls_waits::readable;
}

// One receive from the server's socket at most; every whole record the TLS
// layer then holds is decrypted into s2c while there is room. Once the client
// has gone, what is read is dropped. False when the server side has ended.
bool read_from_server(connection_channel *ch) {
  int total = 0, n;
  if (!take_buffer(ch->s2c)) {
    LOG_AT("server_io", LOG_ERROR, "Unable to allocate a buffer for server fd %d - OOM", ch->sfd);
    ch->server_ended = true;
    return false;
  }
  ERR_clear_error();  // a read that succeeds leaves the queue empty: once is enough
  do {
    n = SSL_read(ch->ssl, fill_point(ch->s2c), static_cast<int>(room(ch->s2c)));
    if (n >= 1) {
      filled(ch->s2c, static_cast<uint32_t>(n));
      total += n;
      if (ch->client_ended) ch->s2c.length = ch->s2c.sent = 0;
    }
  } while (n >= 1 && room(ch->s2c) > 0);
  if (total > 0) {
    if (room(ch->s2c) == 0) LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, s2c buffer is full", ch->sfd, ch->cfd);
    LOG_AT("server_io", LOG_DEBUG, "server fd %d client fd %d, read %d s2c buffer length %d capacity %ld", ch->sfd,
           ch->cfd, total, ch->s2c.length, CAPACITY_FOR_LOG);
  }
  if (n >= 1) {
    ch->read_waits = tls_waits::nothing;  // stopped by a full s2c, not by the socket
    return true;
  }
  // A want-read after fresh bytes is the usual end of a step and is not worth a line.
  if (total > 0 && classify_tls_result(ch->ssl, n).result == tls_result::wants_read) {
    ch->read_waits = tls_waits::readable;
    return true;
  }
  if (handle_ssl_error(n, ch->read_waits, ch)) {
    ch->server_ended = true;  // what ended the reading ends the side; the bytes read still reach the client
    return false;
  }
  return true;
}

}  // namespace

bool handle_ssl_error(int result, tls_waits &waits, connection_channel *ch) {
  tls_outcome outcome = classify_tls_result(ch->ssl, result);
  int saved = errno;
  auto log_queued = [ch](const char *kind) {
    drain_tls_errors([ch, kind](unsigned long, const char *text, const char *) {
      LOG_AT("handle_ssl_error", LOG_ERROR, "%s server fd %d %s", kind, ch->sfd, text);
    });
  };
  switch (outcome.result) {
    case tls_result::failed:
      log_queued("SSL");
      return true;
    case tls_result::wants_read:
      LOG(LOG_WARN, "SSL want to read from server fd %d client fd %d", ch->sfd, ch->cfd);
      waits = tls_waits::readable;
      return false;
    case tls_result::wants_write:
      LOG(LOG_WARN, "SSL want to write to server fd %d client fd %d", ch->sfd, ch->cfd);
      if (ch->c2s.length == 0)
        LOG(LOG_ERROR, "server fd %d client fd %d, there is no cached data from client, try next read", ch->sfd,
            ch->cfd);
      waits = tls_waits::writable;  // served by the server's write event, whatever c2s holds
      return false;
    case tls_result::failed_io:
      log_queued("SYSCALL");
      warn_server_io_error(__func__, ch->sfd, saved);
      return true;
    case tls_result::closed:
      LOG(LOG_DEBUG, "SSL server server closed connection, server fd %d client fd %d", ch->sfd, ch->cfd);
      return true;
    case tls_result::done:
    case tls_result::other:
      break;
  }
  errno = 0;
  if (saved != 0) {
    char text[ERROR_TEXT_SIZE];
    LOG(LOG_ERROR, "server fd %d client fd %d, unhandled SSL error %d, errno %d, %s", ch->sfd, ch->cfd, outcome.code,
        saved, errno_text(saved, text));
  } else {
    LOG(LOG_ERROR, "server fd %d client fd %d, unhandled SSL error %d, errno not set", ch->sfd, ch->cfd, outcome.code);
  }
  errno = saved;
  return true;
}

int client_io(uint32_t events, connection_channel *ch) {
  if ((events & EPOLLIN) && !ch->client_ended && !ch->server_ended && room(ch->c2s) > 0) {
    ssize_t n = take_buffer(ch->c2s) ? recv(ch->cfd, fill_point(ch->c2s), room(ch->c2s), 0) : -2;
    if (n == -2) {
      LOG(LOG_ERROR, "Unable to allocate a buffer for client fd %d - OOM", ch->cfd);
      ch->client_ended = true;
    } else if (n > 0) {
      filled(ch->c2s, static_cast<uint32_t>(n));
      LOG(LOG_DEBUG, "server fd %d client fd %d, read %d c2s buffer length %d capacity %ld", ch->sfd, ch->cfd,
          static_cast<int>(n), ch->c2s.length, CAPACITY_FOR_LOG);
      // Fresh bytes go on at once when this event brought no write of its
      // own: each event then costs one receive and one send, and the
      // server's socket is watched for writability only when it was full.
      if ((events & EPOLLOUT) == 0 && write_may_run(ch)) write_to_server(ch);
    } else if (n == 0) {
      LOG(LOG_DEBUG, "server fd %d client fd %d - client closed connection", ch->sfd, ch->cfd);
      ch->client_ended = true;
    } else {
      bool fatal = !would_block(errno);
      log_client_error(ch, "read from client", fatal);
      if (fatal) ch->client_ended = true;
    }
  }
  if ((events & EPOLLOUT) && !ch->client_ended && owed(ch->s2c) > 0) send_to_client(ch, true);
  int rc = finish_step(ch, true);
  if (log_writes(LOG_DEBUG)) {
    relay_masks m = wanted_masks(ch);
    LOG(LOG_DEBUG, "server fd %d client fd %d client events %d <- %d, server events %d <- %d", ch->sfd, ch->cfd,
        m.client, ch->cfd_events, m.server, ch->sfd_events);
  }
  return rc;
}

int server_io(uint32_t events, connection_channel *ch) {
  bool readable = (events & EPOLLIN) != 0, writable = (events & EPOLLOUT) != 0;
  if (writable && tls_output_pending(ch)) send_output(ch);
  // The read runs on its own event, or on a writable one when it waits to write.
  bool read_event = ch->read_waits == tls_waits::writable ? writable : readable;
  if (read_event && read_may_run(ch) && !ch->server_ended) {
    uint32_t before = ch->s2c.length;
    if (read_from_server(ch) && ch->s2c.length > before && !writable && !ch->client_ended)
      send_to_client(ch, false);  // fresh bytes go on at once, as on the client's side
  }
  // The write runs on its own event, or after the read it waited for.
  bool write_event = ch->write_waits == tls_waits::readable ? readable : writable;
  if (write_event && ch->write_waits == tls_waits::readable && !renegotiating(ch))
    ch->write_waits = tls_waits::nothing;
  if ((write_event || writable) && write_may_run(ch)) write_to_server(ch);
  return finish_step(ch, false);
}

relay_masks wanted_masks(const connection_channel *ch) {
  relay_masks m{0, 0};
  if (!ch->client_ended) {
    if (!ch->server_ended && room(ch->c2s) > 0) m.client |= EPOLLIN;
    if (owed(ch->s2c) > 0) m.client |= EPOLLOUT;
  }
  if (!ch->server_ended) {
    if (ch->read_waits == tls_waits::writable) m.server |= EPOLLOUT;
    else if (read_may_run(ch)) m.server |= EPOLLIN;
    if (tls_output_pending(ch)) m.server |= EPOLLOUT;
    if (owed(ch->c2s) > 0 && ch->write_waits != tls_waits::readable) m.server |= EPOLLOUT;
  }
  return m;
}

void relay_from_now_on(connection_channel *ch) { SSL_set_mode(ch->ssl, SSL_MODE_RELEASE_BUFFERS); }

bool tls_bytes_waiting(const connection_channel *ch) {
  // A new handshake the library put off also needs an SSL_read to start it.
  return ch->ssl != nullptr && !ch->client_ended && !ch->server_ended && ch->read_waits == tls_waits::nothing &&
         room(ch->s2c) > 0 &&
         (owed(ch->in) > 0 || SSL_has_pending(ch->ssl) == 1 || SSL_renegotiate_pending(ch->ssl) == 1);
}
