// Who may use sealgate: the user that owns a client's socket, asked of the
// kernel before a byte is read, and the log of refusals, which costs a few
// lines a second however many there are.
#pragma once

// A request names files that sealgate opens with its own rights, so only the
// client's own user reaches the relay: the socket that connects must belong
// to sealgate's effective user, to the user of the process it lives with, or
// to root. Set once at start-up, before the workers, on the accepting thread.
void allow_clients_of(int pid_to_live_with);
// The listening socket's address, when it is one address (not INADDR_ANY):
// every accepted socket has it as its own, so a lookup needs no query for it.
void remember_listening_address(int listen_fd);

// allowed when the accepted socket's owner may use sealgate (over IPv4, or
// from an IPv6 socket to the IPv4-mapped address); refused, after an ERROR
// line that says why, for anyone else and whenever the owner cannot be
// found; left when no socket of this host holds the other end because the
// client has already closed it (whoever it was). Refusals and clients that
// left are logged up to a few a second: the rest are refused without a line
// and counted, and each owner's count is told in one line ("N more
// connections from uid U refused") once its second is over. The caller
// reads nothing from a socket that is not allowed.
enum class client_verdict { allowed, refused, left };
client_verdict client_allowed(int client_fd);

// For the accepting thread, so that a flood of refused connections costs no
// accept lines either: once refusals go unlogged, true for a new client
// whose refusal has just been counted (it is closed unread and unlogged).
bool refused_without_a_line(int client_fd);
// Each turn of the accept loop: tells the counts of a second that is over.
void report_unlogged_refusals();
