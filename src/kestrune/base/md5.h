// MD5 digests (fingerprints only, never security).
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// hashlib.md5(data).hexdigest(): 32 lower-case hexadecimal digits.
std::string md5_hex(std::string_view data);

}  // namespace kestrune
