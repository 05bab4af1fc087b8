// MD5 through OpenSSL's EVP interface (the low-level MD5_* calls are deprecated).
#include "kestrune/base/md5.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace kestrune {

namespace {

std::string digest(const EVP_MD* md, std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), buf, &len) != 1)
    throw std::runtime_error("OpenSSL digest failed");
  return std::string(reinterpret_cast<const char*>(buf), len);
}

}  // namespace

std::string sha256_bytes(std::string_view data) { return digest(EVP_sha256(), data); }

std::string md5_hex(std::string_view data) {
  const std::string raw = digest(EVP_md5(), data);
  const size_t len = raw.size();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * len, '\0');
  for (size_t i = 0; i < len; ++i) {
    const auto byte = static_cast<unsigned char>(raw[i]);
    out[2 * i] = kHex[byte >> 4];
    out[2 * i + 1] = kHex[byte & 15];
  }
  return out;
}

}  // namespace kestrune
