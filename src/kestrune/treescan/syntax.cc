#include "kestrune/treescan/syntax.h"

#include <stdexcept>

#include "kestrune/base/text.h"

namespace kestrune::treescan {

Parsers::Parsers() = default;

Parsers::~Parsers() {
  for (int i = 0; i < used_; ++i) ts_parser_delete(entries_[i].parser);
}

std::unique_ptr<TSTree, void (*)(TSTree*)> Parsers::parse(const Language& lang, std::string_view src) {
  TSParser* parser = nullptr;
  for (int i = 0; i < used_ && !parser; ++i)
    if (entries_[i].language == lang.ts) parser = entries_[i].parser;
  if (!parser) {
    if (used_ == static_cast<int>(std::size(entries_))) throw std::logic_error("too many grammars for one thread");
    parser = ts_parser_new();
    if (!ts_parser_set_language(parser, lang.ts)) {
      ts_parser_delete(parser);
      throw ParseError("the grammar cannot be used");
    }
    entries_[used_++] = {lang.ts, parser};
  }
  if (src.size() > UINT32_MAX) throw ParseError("text too large to parse");
  TSTree* tree = ts_parser_parse_string(parser, nullptr, src.data(), static_cast<uint32_t>(src.size()));
  if (!tree) throw ParseError("the parser gave no tree");
  return {tree, &ts_tree_delete};
}

std::string Source::text(TSNode n) const {
  const uint32_t start = ts_node_start_byte(n), end = ts_node_end_byte(n);
  std::string_view bytes = start <= end && end <= src.size() ? src.substr(start, end - start) : std::string_view();
  return text::is_valid_utf8(bytes) ? std::string(bytes) : text::decode(bytes, text::Errors::Drop);
}

}  // namespace kestrune::treescan
