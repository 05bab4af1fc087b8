// json.loads without the SIMD fast path, for commands that link no simdjson:
// a fully static binary starts several times faster than one that loads
// shared libraries, which matters for a command run before every tool call.
#pragma once

#include <cstddef>
#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::json {

// Python's C scanner gives up near its recursion limit (about 1000 levels);
// both readers refuse deeper documents too rather than grow without bound.
inline constexpr size_t MAX_DEPTH = 1000;

// Exactly json::parse(text): the same values, the same ParseError texts.
Value parse_exact(std::string_view text);

}  // namespace kestrune::json
