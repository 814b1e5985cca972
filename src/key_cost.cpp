// What an encrypted key costs to decrypt, judged from the parameters in its
// file before anything is derived.
#include "key_cost.h"

#include <cstring>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

BIO *memory_bio(const std::string &content) {
  return BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
}


std::string beyond(const char *what, uint64_t asked, uint64_t most) {
  return std::string("the key's derivation costs more than allowed (") + what + " " + std::to_string(asked) +
         ", at most " + std::to_string(most) + ")";
}

uint64_t integer_value(const ASN1_INTEGER *value) {
  uint64_t out = 0;
  if (value == nullptr || ASN1_INTEGER_get_uint64(&out, value) != 1) return UINT64_MAX;  // negative or huge
  return out;
}

std::string pbkdf2_cost(const ASN1_TYPE *parameters) {
  PBKDF2PARAM *kdf = parameters != nullptr ? static_cast<PBKDF2PARAM *>(ASN1_TYPE_unpack_sequence(
                                                 ASN1_ITEM_rptr(PBKDF2PARAM), parameters))
                                           : nullptr;
  if (kdf == nullptr) return "unreadable key derivation parameters";
  uint64_t iterations = integer_value(kdf->iter);
  PBKDF2PARAM_free(kdf);
  return iterations > KEY_PBKDF2_MAX_ITERATIONS ? beyond("PBKDF2 iterations", iterations, KEY_PBKDF2_MAX_ITERATIONS)
                                                : std::string();
}

std::string scrypt_cost(const ASN1_TYPE *parameters) {
  SCRYPT_PARAMS *kdf = parameters != nullptr ? static_cast<SCRYPT_PARAMS *>(ASN1_TYPE_unpack_sequence(
                                                   ASN1_ITEM_rptr(SCRYPT_PARAMS), parameters))
                                             : nullptr;
  if (kdf == nullptr) return "unreadable key derivation parameters";
  uint64_t n = integer_value(kdf->costParameter), r = integer_value(kdf->blockSize),
           p = integer_value(kdf->parallelizationParameter);
  SCRYPT_PARAMS_free(kdf);
  if (n == 0 || r == 0 || p == 0 || n > KEY_SCRYPT_MAX_MEMORY || r > KEY_SCRYPT_MAX_MEMORY || p > KEY_SCRYPT_MAX_WORK)
    return beyond("scrypt N*r*p", UINT64_MAX, KEY_SCRYPT_MAX_WORK);
  if (128 * n * r > KEY_SCRYPT_MAX_MEMORY) return beyond("scrypt memory bytes", 128 * n * r, KEY_SCRYPT_MAX_MEMORY);
  if (n * r * p > KEY_SCRYPT_MAX_WORK) return beyond("scrypt N*r*p", n * r * p, KEY_SCRYPT_MAX_WORK);
  return {};
}

// The cost of one "ENCRYPTED PRIVATE KEY" block (PKCS#8): PBES2 with PBKDF2
// or scrypt, or the older PBES1 and PKCS#12 schemes with their iterations.
std::string encrypted_block_cost(const unsigned char *der, long length) {
  X509_SIG *sig = d2i_X509_SIG(nullptr, &der, length);
  if (sig == nullptr) return "unreadable encrypted key";
  const X509_ALGOR *algorithm = nullptr;
  X509_SIG_get0(sig, &algorithm, nullptr);
  const ASN1_OBJECT *scheme = nullptr;
  const void *value = nullptr;
  int type = 0;
  X509_ALGOR_get0(&scheme, &type, &value, algorithm);
  auto *parameters = static_cast<const ASN1_STRING *>(value);
  std::string why;
  if (OBJ_obj2nid(scheme) == NID_pbes2) {
    PBE2PARAM *pbe2 = type == V_ASN1_SEQUENCE && parameters != nullptr
                          ? static_cast<PBE2PARAM *>(ASN1_item_unpack(parameters, ASN1_ITEM_rptr(PBE2PARAM)))
                          : nullptr;
    int kdf = pbe2 != nullptr ? OBJ_obj2nid(pbe2->keyfunc->algorithm) : NID_undef;
    why = kdf == NID_id_pbkdf2 ? pbkdf2_cost(pbe2->keyfunc->parameter)
          : kdf == NID_id_scrypt ? scrypt_cost(pbe2->keyfunc->parameter)
                                 : "unreadable key derivation parameters";
    PBE2PARAM_free(pbe2);
  } else {
    PBEPARAM *pbe = type == V_ASN1_SEQUENCE && parameters != nullptr
                        ? static_cast<PBEPARAM *>(ASN1_item_unpack(parameters, ASN1_ITEM_rptr(PBEPARAM)))
                        : nullptr;
    uint64_t iterations = pbe != nullptr ? integer_value(pbe->iter) : 0;
    if (pbe == nullptr)
      why = "unreadable key derivation parameters";
    else if (iterations > KEY_PBKDF2_MAX_ITERATIONS)
      why = beyond("iterations", iterations, KEY_PBKDF2_MAX_ITERATIONS);
    PBEPARAM_free(pbe);
  }
  X509_SIG_free(sig);
  ERR_clear_error();
  return why;
}

}  // namespace

std::string judged_key_block(const std::string &pem, std::string *block) {
  BIO *in = memory_bio(pem);
  std::string why;
  bool found = false;
  char *name = nullptr, *header = nullptr;
  unsigned char *der = nullptr;
  long length = 0;
  while (!found && why.empty() && in != nullptr) {
    if (PEM_read_bio(in, &name, &header, &der, &length) != 1) {
      unsigned long last = ERR_peek_last_error();
      if (ERR_GET_LIB(last) != ERR_LIB_PEM || ERR_GET_REASON(last) != PEM_R_NO_START_LINE)
        why = "unreadable PEM block in the key file";
      break;
    }
    size_t size = strlen(name), tail = strlen("PRIVATE KEY");
    found = size >= tail && strcmp(name + size - tail, "PRIVATE KEY") == 0;
    if (found && strcmp(name, PEM_STRING_PKCS8) == 0) why = encrypted_block_cost(der, length);
    if (found && why.empty()) {
      BIO *out = BIO_new(BIO_s_mem());
      char *text = nullptr;
      long written = out != nullptr && PEM_write_bio(out, name, header, der, length) > 0 ? BIO_get_mem_data(out, &text) : 0;
      if (written > 0)
        block->assign(text, static_cast<size_t>(written));
      else
        why = "OOM";
      BIO_free(out);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(der);
  }
  BIO_free(in);
  ERR_clear_error();
  if (!found && why.empty()) *block = pem;
  return why;
}
