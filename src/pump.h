// The data pump: client_io and server_io move bytes between the two sockets
// and the channel's buffers; wanted_masks says which registrations the
// buffers and what the TLS layer waits for then ask for.
#pragma once

#include <cstdint>

#include "channel.h"

// The handshake is done: from now on an idle connection gives its record buffers back.
void relay_from_now_on(connection_channel *ch);

// One step for an event of the client's or the server's socket. 0 keeps the
// side going, -1 when that side has ended. Both leave the registrations to
// the caller, who brings them to wanted_masks().
int client_io(uint32_t events, connection_channel *ch);
int server_io(uint32_t events, connection_channel *ch);

// The masks the channel's state asks for (an ended side: 0).
struct relay_masks {
  uint32_t client;
  uint32_t server;
};
relay_masks wanted_masks(const connection_channel *ch);
// Logs a failed SSL_read or SSL_write and says what it waits for; true when
// the failure ends the server side.
bool handle_ssl_error(int result, tls_waits &waits, connection_channel *channel);
// True when bytes from the server wait inside sealgate (received but not yet
// taken by the library, or decrypted and held back while s2c was full) that
// the server side could take now, or a new handshake waits to be started.
// No socket event may ever announce them, so the worker gives such a channel
// a read turn of its own in the next cycle.
bool tls_bytes_waiting(const connection_channel *ch);
