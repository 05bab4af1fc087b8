#include "kestrune/treescan/grammars.h"

#include <dlfcn.h>
#include <link.h>
#include <tree_sitter/api.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "kestrune/base/fs.h"

namespace kestrune::treescan {

namespace {

constexpr std::pair<const char*, Kind> kKindNames[] = {
    {"function_declaration", Kind::FunctionDeclaration},
    {"generator_function_declaration", Kind::GeneratorFunctionDeclaration},
    {"lexical_declaration", Kind::LexicalDeclaration},
    {"variable_declarator", Kind::VariableDeclarator},
    {"arrow_function", Kind::ArrowFunction},
    {"function", Kind::Function},
    {"class_declaration", Kind::ClassDeclaration},
    {"interface_declaration", Kind::InterfaceDeclaration},
    {"type_alias_declaration", Kind::TypeAliasDeclaration},
    {"enum_declaration", Kind::EnumDeclaration},
    {"method_definition", Kind::MethodDefinition},
    {"import_statement", Kind::ImportStatement},
    {"call_expression", Kind::CallExpression},
    {"string", Kind::String},
    {"export_statement", Kind::ExportStatement},
    {"export_clause", Kind::ExportClause},
    {"export_default_declaration", Kind::ExportDefaultDeclaration},
    {"function_definition", Kind::FunctionDefinition},
    {"decorated_definition", Kind::DecoratedDefinition},
    {"class_definition", Kind::ClassDefinition},
    {"dotted_name", Kind::DottedName},
    {"aliased_import", Kind::AliasedImport},
    {"import_from_statement", Kind::ImportFromStatement},
    {"method_declaration", Kind::MethodDeclaration},
    {"type_declaration", Kind::TypeDeclaration},
    {"type_spec", Kind::TypeSpec},
    {"interface_type", Kind::InterfaceType},
    {"import_spec", Kind::ImportSpec},
    {"interpreted_string_literal", Kind::InterpretedStringLiteral},
};

constexpr const char* kFieldNames[] = {"name", "value", "source", "function", "arguments", "module_name", "type"};
static_assert(std::size(kFieldNames) == static_cast<size_t>(Field::Count));

struct LoadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Marks the node types named `name` opaque, and when `name` is a supertype,
// its subtypes (and theirs) too. Types are matched by name, as kinds are.
// `seen` holds the names already marked.
void mark_opaque(Language& lang, const char* name, std::vector<std::string>& seen) {
  if (std::find(seen.begin(), seen.end(), name) != seen.end()) return;
  seen.emplace_back(name);
  const auto count = static_cast<TSSymbol>(lang.opaques.size());
  for (TSSymbol s = 0; s < count; ++s) {
    const char* other = ts_language_symbol_name(lang.ts, s);
    if (!other || std::strcmp(other, name) != 0) continue;
    if (ts_language_symbol_type(lang.ts, s) == TSSymbolTypeRegular) lang.opaques[s] = true;
    uint32_t subtypes = 0;
    const TSSymbol* sub = ts_language_subtypes(lang.ts, s, &subtypes);
    for (uint32_t i = 0; i < subtypes; ++i)
      if (const char* subname = ts_language_symbol_name(lang.ts, sub[i])) mark_opaque(lang, subname, seen);
  }
}

// Opens `dir`/`file` and takes the language its `symbol` function returns.
// The node types named in `opaque` (a supertype: all of its subtypes) hold
// nothing the rules look for. Handles are never closed: languages live as
// long as the process.
// A path with a slash: dlopen must not search the library path for it.
std::string grammar_path(const std::string& dir, const char* file) {
  return (dir.empty() ? std::string(".") : dir) + "/" + file;
}

Language open_language(const std::string& dir, const char* file, const char* symbol,
                       std::initializer_list<const char*> opaque = {}) {
  const std::string path = grammar_path(dir, file);
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw LoadError(::dlerror());
  auto fn = reinterpret_cast<const TSLanguage* (*)()>(::dlsym(handle, symbol));
  if (!fn) throw LoadError(::dlerror());
  Language lang;
  lang.ts = fn();
  if (!lang.ts) throw LoadError(path + ": " + symbol + " gave no language");
  const uint32_t abi = ts_language_abi_version(lang.ts);
  if (abi < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION || abi > TREE_SITTER_LANGUAGE_VERSION)
    throw LoadError("Incompatible Language version " + std::to_string(abi) + ". Must be between " +
                    std::to_string(TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION) + " and " +
                    std::to_string(TREE_SITTER_LANGUAGE_VERSION));

  // Symbols past the count (the error symbols) are Other.
  const uint32_t count = ts_language_symbol_count(lang.ts);
  lang.kinds.assign(count, Kind::Other);
  for (uint32_t s = 0; s < count; ++s) {
    const char* name = ts_language_symbol_name(lang.ts, static_cast<TSSymbol>(s));
    if (!name) continue;
    for (const auto& [type, kind] : kKindNames)
      if (std::strcmp(name, type) == 0) lang.kinds[s] = kind;
  }
  lang.opaques.assign(count, false);
  std::vector<std::string> seen;
  for (const char* name : opaque) mark_opaque(lang, name, seen);
  for (size_t f = 0; f < std::size(kFieldNames); ++f)
    lang.fields[f] = ts_language_field_id_for_name(lang.ts, kFieldNames[f], static_cast<uint32_t>(std::strlen(kFieldNames[f])));
  return lang;
}

// The file the code of this library was loaded from: the extension module in
// a Python host, the executable otherwise.
std::string loaded_from() {
  Dl_info info;
  struct link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&loaded_from), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) &&
      map && map->l_name && *map->l_name)
    return fs::resolve(map->l_name);
  return fs::resolve("/proc/self/exe");
}

}  // namespace

std::string Grammars::warning() const {
  if (ast_available) return "";
  return "[warn] tree-sitter not available, falling back to regex: " + failure;
}

const Language& Grammars::script(std::string_view ext) const {
  if (ext == ".tsx") return tsx;
  if (ext == ".js" || ext == ".jsx") return js;
  return ts;
}

Grammars load_grammars(const std::string& dir) {
  Grammars g;
  try {
    Language ts = open_language(dir, "typescript.so", "tree_sitter_typescript");
    Language tsx = open_language(dir, "tsx.so", "tree_sitter_tsx");
    Language js = open_language(dir, "javascript.so", "tree_sitter_javascript");
    // Definitions and imports are statements, and in Python no expression,
    // pattern, parameter list, argument list, decorator or simple statement
    // (an import included) holds one.
    Language py = open_language(dir, "python.so", "tree_sitter_python",
                                {"expression", "pattern", "parameter", "parameters", "argument_list", "decorator",
                                 "expression_statement", "return_statement", "raise_statement", "assert_statement",
                                 "delete_statement", "global_statement", "nonlocal_statement", "print_statement",
                                 "exec_statement", "type_alias_statement", "import_statement",
                                 "import_from_statement", "future_import_statement"});
    g.ts = std::move(ts);
    g.tsx = std::move(tsx);
    g.js = std::move(js);
    g.py = std::move(py);
    g.ast_available = true;
  } catch (const LoadError& e) {
    g.failure = e.what();
  }
  // Go needs the others: a missing Go grammar alone is no reason to warn.
  if (g.ast_available) {
    try {
      g.go = open_language(dir, "go.so", "tree_sitter_go");
    } catch (const LoadError&) {
    }
  }
  auto note = [&](const char* file) {
    const fs::FileStat st = fs::stat_path(grammar_path(dir, file)).value_or(fs::FileStat{});
    g.loaded += std::string(file) + " " + std::to_string(st.size) + " " + std::to_string(st.mtime_ns) + "; ";
  };
  if (g.ast_available)
    for (const char* file : {"typescript.so", "tsx.so", "javascript.so", "python.so"}) note(file);
  if (g.go) note("go.so");
  return g;
}

std::string grammar_dir() {
  // Empty names no folder: never the working directory, whose shared objects nobody vetted.
  if (const char* env = std::getenv("KESTRUNE_GRAMMARS"); env && *env) return env;
  std::string dir = fs::dirname(loaded_from());
  if (fs::name(dir) == "bin") dir = fs::dirname(dir);
  return fs::join(dir, "grammars");
}

const Grammars& grammars() {
  static const Grammars g = load_grammars(grammar_dir());
  return g;
}

}  // namespace kestrune::treescan
