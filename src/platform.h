// The operating-system layer: socket layer start and stop, the liveness of
// the process sealgate lives with, and the text of socket errors.
#pragma once

#include <cstddef>

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

// Raises the soft open-files limit to the hard limit, so thousands of
// connections fit. Returns the new soft limit, or -1.
long raise_open_files_limit();
