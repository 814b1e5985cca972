// The TLS contexts for the credentials requests name: the request's files
// opened and checked, the key's cost judged before it is decrypted, the
// context built on a helper thread, and the contexts (and failures) kept.
#include "credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <new>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "key_cost.h"
#include "log.h"
#include "offload.h"
#include "platform.h"
#include "tls_setup.h"

// ---- credential files ----
//
// Every file a request names is opened once, without blocking, checked to be
// a regular file of at most REQUEST_FILE_LIMIT bytes, and loaded from that
// descriptor, so what was checked is what is loaded: a FIFO, a device, a
// directory or an endless file is refused at once instead of stalling or
// exhausting a worker. The library's path-based loaders are never used.

namespace {

struct file_stamp {
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec modified;
  struct timespec changed;
  bool operator==(const file_stamp &other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// One opened request file. `why` says what is wrong with it, empty when it may be loaded.
struct request_file {
  int fd = -1;
  file_stamp stamp{};
  std::string why;
  request_file() = default;
  request_file(const request_file &) = delete;
  request_file &operator=(const request_file &) = delete;
  ~request_file() {
    if (fd >= 0) close(fd);
  }
  bool usable() const { return why.empty(); }
};

void open_request_file(const std::string &path, request_file &file) {
  file.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st;
  char text[ERROR_TEXT_SIZE];
  if (file.fd < 0 || fstat(file.fd, &st) != 0) {
    file.why = errno_text(errno, text);
  } else if (!S_ISREG(st.st_mode)) {
    file.why = "not a regular file";
  } else if (st.st_size > REQUEST_FILE_LIMIT) {
    file.why = "larger than " + std::to_string(REQUEST_FILE_LIMIT) + " bytes";
  } else {
    file.stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
}

// The file's bytes, read from its descriptor; empty with `why` set when they cannot be read.
std::string read_request_file(request_file &file) {
  std::string content;
  char chunk[16384];
  for (;;) {
    ssize_t n = pread(file.fd, chunk, sizeof chunk, static_cast<off_t>(content.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      char text[ERROR_TEXT_SIZE];
      file.why = errno_text(errno, text);
      return {};
    }
    if (n == 0) return content;
    if (content.size() + static_cast<size_t>(n) > static_cast<size_t>(REQUEST_FILE_LIMIT)) {
      file.why = "larger than " + std::to_string(REQUEST_FILE_LIMIT) + " bytes";  // it grew
      return {};
    }
    content.append(chunk, static_cast<size_t>(n));
  }
}

// What the passphrase callback reads from: the opened passphrase file, or none.
struct passphrase_source {
  int fd = -1;
};

// The text a failed load is reported with: the library's error, or ours.
std::string load_error(const char *fallback) {
  return ERR_peek_error() != 0 ? first_error_text() : std::string(fallback);
}

BIO *memory_bio(const std::string &content) {
  return BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
}

// The certificate chain, as the library's chain-file loader takes it: the
// first certificate is ours, the rest its chain. "" on success.
std::string use_certificate_chain(SSL_CTX *ctx, const std::string &pem, passphrase_source *pass) {
  BIO *bio = memory_bio(pem);
  X509 *cert = bio != nullptr ? PEM_read_bio_X509_AUX(bio, nullptr, passphrase_callback, pass) : nullptr;
  bool good = cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_clear_chain_certs(ctx) == 1;
  X509_free(cert);
  while (good) {
    X509 *next = PEM_read_bio_X509(bio, nullptr, passphrase_callback, pass);
    if (next == nullptr) break;
    if (SSL_CTX_add0_chain_cert(ctx, next) != 1) {
      X509_free(next);
      good = false;
    }
  }
  unsigned long last = ERR_peek_last_error();
  if (good && ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) ERR_clear_error();
  BIO_free(bio);
  if (good && ERR_peek_error() == 0) return {};
  return load_error("no certificate found");
}

std::string use_private_key(SSL_CTX *ctx, const std::string &pem, passphrase_source *pass) {
  std::string block;
  if (std::string why = judged_key_block(pem, &block); !why.empty()) return why;
  BIO *bio = memory_bio(block);
  EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, passphrase_callback, pass) : nullptr;
  BIO_free(bio);
  // Each handshake signs with the key on the worker: a very large one would hold it.
  if (key != nullptr && EVP_PKEY_get_bits(key) > KEY_MAX_BITS) {
    std::string why =
        "a key of " + std::to_string(EVP_PKEY_get_bits(key)) + " bits, at most " + std::to_string(KEY_MAX_BITS);
    EVP_PKEY_free(key);
    return why;
  }
  bool good = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  return good ? std::string() : load_error("no private key found");
}

// A CA bundle must hold at least one certificate or CRL that parses. Its
// certificates become the context's trust anchors when `anchors` is given
// (its requests verify the server); otherwise nothing of it is kept: nothing
// verifies against it, and a bundle of CRLs would stay in memory with every
// kept context.
constexpr size_t LARGE_BUNDLE_BYTES = 1 << 20;

std::string use_ca_bundle(const std::string &pem, X509_STORE *anchors) {
  BIO *bio = memory_bio(pem);
  passphrase_source none;
  STACK_OF(X509_INFO) *infos = bio != nullptr ? PEM_X509_INFO_read_bio(bio, nullptr, passphrase_callback, &none) : nullptr;
  BIO_free(bio);
  if (infos == nullptr) return load_error("unreadable PEM file");
  int count = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); i++) {
    X509_INFO *info = sk_X509_INFO_value(infos, i);
    count += (info->x509 != nullptr) + (info->crl != nullptr);
    if (anchors != nullptr && info->x509 != nullptr && X509_STORE_add_cert(anchors, info->x509) != 1) {
      sk_X509_INFO_pop_free(infos, X509_INFO_free);
      return load_error("unable to keep a certificate");
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return count > 0 ? std::string() : std::string("no certificate or CRL found");
}

}  // namespace

int passphrase_callback(char *buffer, int size, int, void *userdata) noexcept {
  const auto *source = static_cast<const passphrase_source *>(userdata);
  if (buffer == nullptr || size <= 0) return 0;
  memset(buffer, 0, static_cast<size_t>(size));
  if (source == nullptr || source->fd < 0) return 0;  // no passphrase file: never ask anyone else
  // The file's bytes are the passphrase, a final line break included; only
  // what fits in the library's buffer is read.
  size_t wanted = static_cast<size_t>(size) - 1, got = 0;
  while (got < wanted) {
    ssize_t n = pread(source->fd, buffer + got, wanted - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(strnlen(buffer, got));
}

// ---- kept contexts ----
//
// Loading a CA bundle or decrypting a key costs far more than a handshake, so
// a context is kept and shared by reference, and so is a failure to build one
// (the next request naming the same files fails the same way, with the same
// line, without the work). An entry is keyed by the files the request names
// and by the identity of what was opened for each (device, inode, size,
// change and modification times): a file that changes is read again by the
// next connection. The entries together are bounded by CONTEXT_CACHE_BYTES
// and CONTEXT_CACHE_LIMIT; the one used longest ago goes first.

namespace {

constexpr size_t CONTEXT_BASE_WEIGHT = 16384;  // a context, its store and its sessions
constexpr size_t CONTEXT_WEIGHT_PER_BYTE = 8;   // a certificate or key takes about this per byte of its file

// A context that could not be made: the loading step that failed (which
// names the file, as the request at hand calls it) and why.
struct failure {
  std::string loader, why;
};

struct context_entry {
  std::vector<file_stamp> stamps;
  SSL_CTX *ctx = nullptr;  // null: a kept failure
  failure failed;
  size_t weight = 0;
  std::list<std::string>::iterator use;  // its place in g_uses
};

std::mutex g_context_mutex;
std::unordered_map<std::string, context_entry> g_contexts;
// The builds in progress, by key: a second request for the same files waits for the first one's.
std::unordered_map<std::string, std::weak_ptr<context_build>> g_building;
std::list<std::string> g_uses;  // the keys, used longest ago first
size_t g_context_bytes = 0;

void forget_locked(std::unordered_map<std::string, context_entry>::iterator found) {
  if (found->second.ctx != nullptr) SSL_CTX_free(found->second.ctx);
  g_context_bytes -= found->second.weight;
  g_uses.erase(found->second.use);
  g_contexts.erase(found);
}

// The kept entry for the key while its files are the ones it was made from:
// true with *ctx a new reference, or *failed set for a kept failure.
bool cached_context(const std::string &key, const std::vector<file_stamp> &stamps, SSL_CTX **ctx, failure *failed) {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  auto found = g_contexts.find(key);
  if (found == g_contexts.end() || !(found->second.stamps == stamps)) return false;
  g_uses.splice(g_uses.end(), g_uses, found->second.use);
  if (found->second.ctx != nullptr) {
    SSL_CTX_up_ref(found->second.ctx);
    *ctx = found->second.ctx;
  } else {
    *failed = found->second.failed;
  }
  return true;
}

void remember_context(const std::string &key, const std::vector<file_stamp> &stamps, SSL_CTX *ctx,
                      const failure &failed, size_t weight) {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  if (auto found = g_contexts.find(key); found != g_contexts.end()) forget_locked(found);
  if (weight > CONTEXT_CACHE_BYTES) return;  // serves its own connection only
  while (!g_uses.empty() &&
         (g_contexts.size() >= CONTEXT_CACHE_LIMIT || g_context_bytes + weight > CONTEXT_CACHE_BYTES))
    forget_locked(g_contexts.find(g_uses.front()));
  if (ctx != nullptr) SSL_CTX_up_ref(ctx);
  g_uses.push_back(key);
  g_contexts.emplace(key, context_entry{stamps, ctx, failed, weight, std::prev(g_uses.end())});
  g_context_bytes += weight;
}

// The library checks the server's chain only for a connection that asks
// for it ("VerifyServer"): for the others nothing reads that result (the
// revocation check alone judges their server), and skipping it saves a
// signature check per connection.
int check_chain_when_asked(X509_STORE_CTX *store, void *) noexcept {
  auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl == nullptr || (SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) == 0) return 1;
  return X509_verify_cert(store);
}

// The files of one request, in the order they are loaded. The CA file is
// loaded without a client certificate, and with one when the request
// verifies the server; a request that verifies the server and names no CA
// file takes the system's trust store (the library's default CA file).
struct credential_files {
  bool client_auth = false;
  bool anchors = false;  // the CA file's certificates are kept as trust anchors
  bool has_ca = false;
  std::string ca_path;
  request_file ca, cert, key, pass;
  explicit credential_files(const connection_info &request)
      : client_auth(!request.cert_file.empty() && !request.key_file.empty()),
        anchors(request.verify_server),
        has_ca(!client_auth || request.verify_server),
        ca_path(request.verify_server && request.ca_cert_pem_file.empty() ? X509_get_default_cert_file()
                                                                          : request.ca_cert_pem_file) {}
};

// One file of a request, with the loading step its failure is reported as.
struct role {
  const std::string *path;
  request_file *file;
  const char *loader;
};

std::vector<role> roles_of(const connection_info &request, credential_files &files) {
  std::vector<role> roles;
  if (files.has_ca) roles.push_back({&files.ca_path, &files.ca, "SSL_CTX_load_verify_locations"});
  if (files.client_auth) {
    roles.push_back({&request.cert_file, &files.cert, "SSL_CTX_use_certificate_chain_file"});
    roles.push_back({&request.key_file, &files.key, "SSL_CTX_use_PrivateKey_file"});
    if (!request.pass_phrase_file.empty())
      roles.push_back({&request.pass_phrase_file, &files.pass, "SSL_CTX_use_PrivateKey_file"});
  }
  return roles;
}


// A fresh context from the opened files, or null with *failed set.
SSL_CTX *build_context(int sfd, credential_files &files, failure *failed) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    LOG_AT("init_channel_ssl", LOG_ERROR, "Unable to create SSL CTX for server fd %d", sfd);
    return nullptr;
  }
  // TLS 1.2 only, with the library's interoperability work-arounds. No
  // verification mode: a connection whose request asks for the server's
  // identity sets its own (ask_server_identity).
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  SSL_CTX_set_cert_verify_callback(ctx, check_chain_when_asked, nullptr);
  prepare_session_keeping(ctx);
  ERR_clear_error();
  std::string why;
  const char *loader = nullptr;
  if (files.has_ca) {
    std::string content = read_request_file(files.ca);
    why = files.ca.usable() ? use_ca_bundle(content, files.anchors ? SSL_CTX_get_cert_store(ctx) : nullptr)
                            : files.ca.why;
    // Parsing a large bundle (a long CRL, thousands of certificates) takes
    // many times its size for a moment: give that memory back at once.
    if (content.size() > LARGE_BUNDLE_BYTES) give_back_free_heap();
    loader = "SSL_CTX_load_verify_locations";
  }
  if (why.empty() && files.client_auth) {
    passphrase_source pass{files.pass.fd};
    std::string content = read_request_file(files.cert);
    why = files.cert.usable() ? use_certificate_chain(ctx, content, &pass) : files.cert.why;
    loader = "SSL_CTX_use_certificate_chain_file";
    if (why.empty()) {
      content = read_request_file(files.key);
      why = files.key.usable() ? use_private_key(ctx, content, &pass) : files.key.why;
      loader = "SSL_CTX_use_PrivateKey_file";
    }
  }
  if (!why.empty()) {
    *failed = {loader, why};
    SSL_CTX_free(ctx);
    return nullptr;
  }
  ERR_clear_error();
  return ctx;
}

// Opens the request's files; false with *failed set by the first that cannot be used.
bool open_credential_files(const connection_info &request, credential_files &files, std::vector<file_stamp> &stamps,
                           failure *failed) {
  for (const role &r : roles_of(request, files)) {
    open_request_file(*r.path, *r.file);
    if (!r.file->usable()) {
      // A passphrase file that cannot be used fails the key, as a wrong passphrase would.
      bool pass = r.file == &files.pass;
      *failed = {r.loader, pass ? "passphrase file " + request.pass_phrase_file + ": " + r.file->why : r.file->why};
      return false;
    }
    stamps.push_back(r.file->stamp);
  }
  return true;
}

// What a kept context costs: its base, and its certificates and key by the size of their files.
size_t weight_of(const credential_files &files) {
  size_t bytes = 0;
  if (files.anchors) bytes += static_cast<size_t>(files.ca.stamp.size);
  if (files.client_auth) bytes += static_cast<size_t>(files.cert.stamp.size + files.key.stamp.size);
  return CONTEXT_BASE_WEIGHT + CONTEXT_WEIGHT_PER_BYTE * bytes;
}

// The ERROR line of a failure, naming the file as this request names it.
void log_failure(const failure &failed, const connection_info &request, int sfd) {
  credential_files files(request);
  const std::string &path = failed.loader == "SSL_CTX_load_verify_locations"      ? files.ca_path
                            : failed.loader == "SSL_CTX_use_certificate_chain_file" ? request.cert_file
                                                                                     : request.key_file;
  LOG_AT("init_channel_ssl", LOG_ERROR, "%s failed server fd %d - %s: %s", failed.loader.c_str(), sfd, path.c_str(),
         failed.why.c_str());
}

}  // namespace

// One build, on a helper thread: the files opened, checked and loaded from
// what was opened, the outcome kept for the next request.
struct context_build : offload_job {
  connection_info request;
  std::string key;
  int sfd = -1;
  SSL_CTX *ctx = nullptr;
  failure failed;
  void run() override {
    credential_files files(request);
    std::vector<file_stamp> stamps;
    if (!open_credential_files(request, files, stamps, &failed)) return;  // not kept: a file may yet appear
    ctx = build_context(sfd, files, &failed);
    if (ctx != nullptr || !failed.loader.empty()) remember_context(key, stamps, ctx, failed, weight_of(files));
    ERR_clear_error();  // what a failed load left in this thread's queue
    std::lock_guard<std::mutex> guard(g_context_mutex);
    if (auto found = g_building.find(key); found != g_building.end() && found->second.lock().get() == this)
      g_building.erase(found);
  }
  context_build() { runs_when_abandoned = true; }
  ~context_build() override {
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

void clear_context_cache() {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  while (!g_contexts.empty()) forget_locked(g_contexts.begin());
}

size_t kept_context_bytes_for_test() {
  std::lock_guard<std::mutex> guard(g_context_mutex);
  return g_context_bytes;
}

context_progress find_context(const connection_info &request, int sfd, void *waiter, SSL_CTX **ctx,
                              std::shared_ptr<context_build> *build) {
  *ctx = nullptr;
  credential_files files(request);
  if (!files.client_auth)
    LOG(LOG_DEBUG, "Use certificate file %s to communicate with server fd %d", files.ca_path.c_str(), sfd);
  // An entry is found by what the request's files are, not by their names
  // (links to one file share it), and by what they are for. A context with
  // trust anchors is kept apart from the others, and with it the sessions it
  // keeps: a session made without verifying the server (or against other
  // anchors) is never offered to a request that verifies it. The files'
  // identity is all that is read for an entry that is kept.
  std::vector<role> roles = roles_of(request, files);
  std::vector<file_stamp> stamps;
  std::string key = std::string(files.anchors ? "verify" : "") + (files.client_auth ? " client" : "") +
                    (files.has_ca ? " ca" : "");
  for (const role &r : roles) {
    struct stat st;
    if (stat(r.path->c_str(), &st) != 0) break;
    stamps.push_back({st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim});
    char identity[64];
    snprintf(identity, sizeof identity, " %lx:%lx", static_cast<unsigned long>(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    key += identity;
  }
  failure failed;
  if (stamps.size() == roles.size() && cached_context(key, stamps, ctx, &failed)) {
    if (*ctx != nullptr) return context_progress::ready;
    log_failure(failed, request, sfd);
    return context_progress::failed;
  }
  std::shared_ptr<context_build> job;
  {
    // Looked up and registered under one lock: two requests for the same
    // files at once start one build.
    std::lock_guard<std::mutex> guard(g_context_mutex);
    std::weak_ptr<context_build> &slot = g_building[key];
    std::shared_ptr<context_build> running = slot.lock();
    if (running != nullptr && !running->done.load(std::memory_order_acquire)) {
      *build = running;  // another request's build of the same files
      return context_progress::building;
    }
    job = std::make_shared<context_build>();
    job->request = request;
    job->key = key;
    job->sfd = sfd;
    job->waiter = waiter;
    slot = job;
  }
  *build = job;
  offload(job, offload_pool::builds);
  return take_built_context(job, request, sfd, ctx);
}

bool building_for_another(const std::shared_ptr<context_build> &build, const void *waiter) {
  return build != nullptr && build->waiter != waiter;
}

context_progress take_built_context(const std::shared_ptr<context_build> &build, const connection_info &request,
                                    int sfd, SSL_CTX **ctx) {
  if (!build->done.load(std::memory_order_acquire)) return context_progress::building;
  if (build->ctx != nullptr) {
    SSL_CTX_up_ref(build->ctx);
    *ctx = build->ctx;
    return context_progress::ready;
  }
  if (!build->failed.loader.empty()) log_failure(build->failed, request, sfd);
  return context_progress::failed;
}

void abandon_build(const std::shared_ptr<context_build> &build, const void *waiter) {
  if (build != nullptr && build->waiter == waiter) build->abandoned = true;
}
