// Digests: MD5 fingerprints (never security), SHA-256 keys.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// hashlib.md5(data).hexdigest(): 32 lower-case hexadecimal digits.
std::string md5_hex(std::string_view data);

// The SHA-256 digest as 32 raw bytes: a key for a text where two different
// texts must never share one (MD5 collisions can be made on purpose).
std::string sha256_bytes(std::string_view data);

}  // namespace kestrune
