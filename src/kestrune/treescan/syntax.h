// Parsing a text with one grammar and reading the tree the way the extraction
// rules do: node types, fields, text, rows, parents, and a depth-first walk
// that needs no stack of its own, however deep the tree.
#pragma once

#include <tree_sitter/api.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/treescan/grammars.h"

namespace kestrune::treescan {

// A text the parser gave no tree for.
struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Parsers kept for reuse by one thread, one per grammar.
class Parsers {
 public:
  Parsers();
  ~Parsers();
  Parsers(const Parsers&) = delete;
  Parsers& operator=(const Parsers&) = delete;

  // The tree of `src` (UTF-8) under `lang`. Throws ParseError when the
  // grammar cannot be set or the parse gives no tree.
  std::unique_ptr<TSTree, void (*)(TSTree*)> parse(const Language& lang, std::string_view src);

 private:
  struct Entry {
    const TSLanguage* language;
    TSParser* parser;
  };
  Entry entries_[8];
  int used_ = 0;
};

// A tree being read, with the parsed bytes and the language's tables.
struct Source {
  const Language& lang;
  std::string_view src;

  Kind kind(TSNode n) const { return lang.kind(ts_node_symbol(n)); }
  // Whether the walk must go below `n`, of kind symbol `symbol`: not into a
  // subtree that holds nothing the rules look for, unless the parser
  // recovered from an error in it (error recovery can put anything anywhere).
  bool enter(TSNode n, uint16_t symbol) const { return !lang.opaque(symbol) || ts_node_has_error(n); }
  // The child in field `f`, or a null node.
  TSNode field(TSNode n, Field f) const {
    uint16_t id = lang.field(f);
    return id ? ts_node_child_by_field_id(n, id) : TSNode{};
  }
  // Bytes start_byte to end_byte of the parsed text, undecodable bytes dropped.
  std::string text(TSNode n) const;
};

inline bool present(TSNode n) { return !ts_node_is_null(n); }

// Calls `visit(node, parent)` for `root` and every node below it that it is
// let into, each before its children, children in order (anonymous ones
// included, as `children` lists them); the root's parent is a null node.
// `visit` returns whether to go below the node. The cursor keeps the way
// back up, so nesting depth costs no call stack, and the parent comes from
// the walk rather than from a search down from the root (ts_node_parent),
// which a deep tree would make quadratic.
template <class Visit>
void walk_tree(TSNode root, Visit&& visit) {
  TSTreeCursor cursor = ts_tree_cursor_new(root);
  struct Done {
    TSTreeCursor& c;
    ~Done() { ts_tree_cursor_delete(&c); }
  } done{cursor};
  std::vector<TSNode> ancestors;
  for (;;) {
    const TSNode node = ts_tree_cursor_current_node(&cursor);
    const bool enter = visit(node, ancestors.empty() ? TSNode{} : ancestors.back());
    // Most nodes are tokens: asking for their children costs more than counting them.
    if (enter && ts_node_child_count(node) > 0 && ts_tree_cursor_goto_first_child(&cursor)) {
      ancestors.push_back(node);
      continue;
    }
    while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
      if (!ts_tree_cursor_goto_parent(&cursor)) return;
      ancestors.pop_back();
    }
  }
}

// Calls `f` for each child of `n`, in order.
template <class F>
void each_child(TSNode n, F&& f) {
  TSTreeCursor cursor = ts_tree_cursor_new(n);
  struct Done {
    TSTreeCursor& c;
    ~Done() { ts_tree_cursor_delete(&c); }
  } done{cursor};
  if (!ts_tree_cursor_goto_first_child(&cursor)) return;
  do f(ts_tree_cursor_current_node(&cursor));
  while (ts_tree_cursor_goto_next_sibling(&cursor));
}

}  // namespace kestrune::treescan
