// MD5 through OpenSSL's EVP interface (the low-level MD5_* calls are deprecated).
#include "kestrune/base/md5.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace kestrune {

std::string md5_hex(std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    throw std::runtime_error("md5: OpenSSL digest failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * len, '\0');
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace kestrune
