// The scan cache reader over arbitrary payloads. The input is sealed with a
// valid header (magic, version, length, digest) so that mutations reach the
// records instead of stopping at the digest. Whatever it accepts must give
// its records back unchanged after a write and a second read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/base/file_signature.h"
#include "kestrune/lexscan/scan_cache.h"

using namespace kestrune;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

template <typename T>
void put(std::string& out, T v) {  // little-endian, as the cache is
  for (size_t i = 0; i < sizeof v; ++i) out += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xff);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  std::string bytes = "kestrune scan cache\n";
  put(bytes, uint32_t{1});
  put(bytes, static_cast<uint64_t>(payload.size()));
  put(bytes, digest64(payload));
  bytes += payload;

  std::optional<lexscan::ScanCache> cache = lexscan::decode_scan_cache(std::move(bytes));
  if (!cache) return 0;
  std::vector<lexscan::EdgeRef> edges;
  for (const lexscan::CachedFile& f : cache->files) {
    check(f.symbol_refs().size() == f.symbol_count);
    edges.clear();
    f.edge_refs(edges);
    check(edges.size() == f.edge_count);
  }
  std::optional<lexscan::ScanCache> again = lexscan::decode_scan_cache(lexscan::encode_scan_cache(*cache));
  check(again.has_value() && again->files == cache->files && again->root == cache->root &&
        again->scanner == cache->scanner && again->began_ns == cache->began_ns);
  return 0;
}
