// The operating-system layer: socket layer start and stop, the liveness of
// the process sealgate lives with, and the text of socket errors.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <sys/types.h>

// Starts the socket layer. On Linux nothing needs starting, but a send to a
// closed peer would raise SIGPIPE and kill the process, so it is ignored here.
// Returns 0, or -1 with errno set.
int socket_layer_start();
void socket_layer_stop();

// True while the process exists and has not ended. A process we may not
// signal (EPERM) is alive; a zombie has ended; when the check itself cannot
// be made the process counts as alive.
bool is_process_alive(int pid);

// The calling thread's last socket error (errno on Linux).
int platform_last_socket_error();
// Writes the system text of a socket error; false when there is none.
bool platform_socket_error_message(int error, char *buffer, size_t size);

// Gives the allocator's free pages back to the system (malloc_trim). A
// sanitizer build allocates through the sanitizer, and glibc's heap, never
// set up there, must not be walked: nothing is done.
void give_back_free_heap();

// Raises the soft open-files limit to the hard limit, so thousands of
// connections fit. Returns the new soft limit, or -1.
long raise_open_files_limit();

// Who owns the other end of a TCP connection on this host: the user id of
// the socket whose local address is `peer` and whose remote address is
// `local`, an IPv6 socket's too when it holds them IPv4-mapped. The kernel's
// socket diagnostics answer exactly and cheaply; /proc/net/tcp and tcp6 are
// read when they are not available.
enum class owner_lookup { found, not_found, failed };
enum class owner_source { netlink, proc_net_tcp, any };
owner_lookup find_socket_owner(const sockaddr_in &peer, const sockaddr_in &local, uid_t *uid,
                               owner_source source = owner_source::any);
// Opens the calling thread's channel to the socket diagnostics, which it
// keeps for its later lookups (a worker does this when it starts).
void prepare_owner_lookup();

// The effective user id of a process, read from /proc; false when unknown.
bool process_uid(int pid, uid_t *uid);
