// The TLS contexts for the credentials requests name: the request's files
// opened and checked, the key's cost judged before it is decrypted, the
// context built off the worker's loop (on a helper thread), and kept, within
// a bound on the memory kept contexts hold, for the next request that names
// the same files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/ssl.h>
#include <string>

#include "key_cost.h"
#include "protocol.h"

// Files a request names are refused beyond this size (a CA bundle of a few
// thousand certificates still fits).
constexpr long REQUEST_FILE_LIMIT = 4L << 20;

// Kept contexts, and the failures kept with them, hold at most this much
// memory together (each counted as a small base plus eight times the bytes
// of the certificates and keys it holds, about what they take parsed) and
// are at most CONTEXT_CACHE_LIMIT; past that the one used longest ago goes.
// A context that alone would take more serves its connection and is not kept.
constexpr size_t CONTEXT_CACHE_BYTES = 32u << 20;
constexpr size_t CONTEXT_CACHE_LIMIT = 64;

struct context_build;

// A request waits at most this long for its context to be built.
constexpr int CONTEXT_WAIT_SECONDS = 30;
// How often a request whose context another request is building looks again.
constexpr int CONTEXT_POLL_MS = 20;

// The context for a request's credentials, for the connection on server
// socket `sfd` (the lines name it). ready: *ctx is a reference the caller
// frees. failed: refused, after the ERROR line that names the file and why.
// building: the context is built on a helper thread and *build holds the
// job; `waiter` is driven again once it has ended, unless another request
// started that build (then building_for_another says so, and the caller
// looks again every CONTEXT_POLL_MS); either way take_built_context follows.
enum class context_progress { ready, failed, building };
context_progress find_context(const connection_info &request, int sfd, void *waiter, SSL_CTX **ctx,
                              std::shared_ptr<context_build> *build);
bool building_for_another(const std::shared_ptr<context_build> &build, const void *waiter);
// Once the build has ended: ready or failed, as above (the line names
// `request`'s file and `sfd`); building while it has not ended yet (a call
// too early does no harm).
context_progress take_built_context(const std::shared_ptr<context_build> &build, const connection_info &request,
                                    int sfd, SSL_CTX **ctx);
// The waiter of a build that is done with it (it ended, or took what the build
// made) gives up its announcement; the build itself still ends, for the cache.
void abandon_build(const std::shared_ptr<context_build> &build, const void *waiter);

// Releases the kept contexts (at shutdown, after the workers have stopped).
void clear_context_cache();
// Test seam, called only by in-process tests: what the kept entries count as holding.
size_t kept_context_bytes_for_test();

// The library's passphrase callback: the passphrase file's bytes, at most as
// many as the library asks for; nothing when the request names no file.
int passphrase_callback(char *buffer, int size, int rwflag, void *userdata) noexcept;
