// What an encrypted private key costs to decrypt: an encrypted key names how
// its decryption key is derived from the passphrase, and a hostile file may
// ask for days of work. A key file is judged from those parameters before the
// TLS library derives anything.
#pragma once

#include <cstdint>
#include <string>

// What an encrypted key may cost to derive its decryption key from the
// passphrase, judged from the parameters in the file before any derivation
// (about 0.4 s on a core of 2020 at the PBKDF2 bound): a key beyond them is
// refused with an ERROR line that says why.
constexpr uint64_t KEY_PBKDF2_MAX_ITERATIONS = 1000000;
constexpr uint64_t KEY_SCRYPT_MAX_MEMORY = 32u << 20;  // 128 * N * r bytes
constexpr uint64_t KEY_SCRYPT_MAX_WORK = 1u << 20;     // N * r * p
// A client key signs on the worker in each full handshake: one larger than
// this (an RSA key of 16384 bits signs for the better part of a second) is
// refused with its ERROR line.
constexpr int KEY_MAX_BITS = 8192;

// The file's first private key block, judged and re-encoded alone into
// *block, so that the loader reads exactly the block that was judged (a
// broken block before it cannot make the two read the file differently).
// "" when it may be loaded, else why not (its cost beyond the bounds, a block
// that does not parse). A file without a key block is handed on whole: the
// loader says what is wrong with it.
std::string judged_key_block(const std::string &pem, std::string *block);
