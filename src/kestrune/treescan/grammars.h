// The grammars the syntax-tree scanner parses with: shared objects loaded
// with dlopen from the package's grammars/ folder (or $KESTRUNE_GRAMMARS).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TSLanguage;

namespace kestrune::treescan {

// The node types and fields the extraction rules look at. A grammar's
// symbols map to these by name, as the rules compare type names.
enum class Kind : uint8_t {
  Other,
  // TypeScript, TSX, JavaScript
  FunctionDeclaration,  // also Go
  GeneratorFunctionDeclaration,
  LexicalDeclaration,
  VariableDeclarator,
  ArrowFunction,
  Function,
  ClassDeclaration,
  InterfaceDeclaration,
  TypeAliasDeclaration,
  EnumDeclaration,
  MethodDefinition,
  ImportStatement,  // also Python
  CallExpression,
  String,
  ExportStatement,
  ExportClause,
  ExportDefaultDeclaration,
  // Python
  FunctionDefinition,
  DecoratedDefinition,
  ClassDefinition,
  DottedName,
  AliasedImport,
  ImportFromStatement,
  // Go
  MethodDeclaration,
  TypeDeclaration,
  TypeSpec,
  InterfaceType,
  ImportSpec,
  InterpretedStringLiteral,
};

enum class Field : uint8_t { Name, Value, Source, Function, Arguments, ModuleName, Type, Count };

// One loaded grammar, with its symbols and fields looked up once.
struct Language {
  const TSLanguage* ts = nullptr;
  std::vector<Kind> kinds;  // by symbol
  // By symbol: the node types whose subtrees, parsed without error, hold
  // nothing the rules look for (Python's expressions and simple statements),
  // so walks skip them.
  std::vector<bool> opaques;
  uint16_t fields[static_cast<int>(Field::Count)] = {};  // 0: the grammar has no such field

  explicit operator bool() const { return ts != nullptr; }
  Kind kind(uint16_t symbol) const { return symbol < kinds.size() ? kinds[symbol] : Kind::Other; }
  bool opaque(uint16_t symbol) const { return symbol < opaques.size() && opaques[symbol]; }
  uint16_t field(Field f) const { return fields[static_cast<int>(f)]; }
};

struct Grammars {
  // TypeScript, TSX, JavaScript and Python all loaded.
  bool ast_available = false;
  Language ts, tsx, js, py;
  // Go: only when the others loaded too.
  Language go;
  // Why the others did not load; empty when they did.
  std::string failure;
  // The grammar files loaded, each with its size and modification time: what
  // was derived with one set is not taken for what another would give.
  std::string loaded;

  // The set-up's warning line (no line feed), or "" when every common grammar loaded.
  std::string warning() const;
  // The grammar for a TypeScript-family extension: TSX for ".tsx", JavaScript
  // for ".js" and ".jsx", TypeScript otherwise.
  const Language& script(std::string_view ext) const;
};

// Loads the grammars from `dir`: typescript.so, tsx.so, javascript.so, python.so, go.so.
Grammars load_grammars(const std::string& dir);

// $KESTRUNE_GRAMMARS when set and not empty, else the grammars/ folder of the package this
// code was loaded from (beside the extension module, or above bin/).
std::string grammar_dir();

// The process's grammars, loaded from grammar_dir() on first use.
const Grammars& grammars();

}  // namespace kestrune::treescan
