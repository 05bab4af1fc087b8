// The relevance index reader over damaged images: the index is a file kept
// beside the graph, and a torn or foreign one must make lists end early,
// never a read out of bounds. The input is a query line, then the image
// after its magic (added here, so that mutations reach the tables).
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "kestrune/br/relevance.h"
#include "kestrune/br/relevance_index.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t eol = all.find('\n');
  if (eol == std::string_view::npos) return 0;
  const std::string_view query = all.substr(0, eol), body = all.substr(eol + 1);

  constexpr char magic[8] = {'K', 'R', 'E', 'L', 'I', 'D', 'X', '4'};
  std::vector<uint64_t> storage((sizeof magic + body.size() + 7) / 8);  // the reader wants 8-byte alignment
  char* image = reinterpret_cast<char*>(storage.data());
  std::memcpy(image, magic, sizeof magic);
  if (!body.empty()) std::memcpy(image + sizeof magic, body.data(), body.size());

  const auto index = br::RelevanceIndex::open(std::string_view(image, sizeof magic + body.size()));
  if (!index) return 0;
  for (const br::RankedFile& f : br::rank_files(*index, query, 8)) {
    for (const auto& s : index->symbols(index->doc(f.doc))) (void)index->symbol_name(s);
  }
  for (size_t i = 0; i < index->edge_count() && i < 64; ++i) (void)index->edge(i);
  return 0;
}
