// Which files of a project a file imports, read from the file's own text and
// resolved against the project's file ids: relative and aliased JavaScript and
// TypeScript specifiers, Python module paths (absolute and relative), and Go
// import paths, which name a package directory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune::br {

// Import specifiers exactly as written in a file's text.
// Python: "a.b" for `import a.b`; for `from X import n` both "X" and "X.n"
// (n may be a submodule); relative ones keep their dots (".util", "..").
std::vector<std::string> python_imports(std::string_view text);
// JavaScript and TypeScript: the quoted specifier of import ... from, export
// ... from, bare import, require() and import().
std::vector<std::string> script_imports(std::string_view text);
// Go: every path of the file's import declarations.
std::vector<std::string> go_imports(std::string_view text);

// The language an import reader exists for, from a file id's extension.
enum class ImportLang { None, Python, Script, Go };
ImportLang import_lang(std::string_view file_id);

class ImportResolver {
 public:
  // `file_ids` are the project's file ids ("/"-separated, relative to the
  // root); they must outlive the resolver. `go_module` is the module path the
  // project's go.mod declares ("" when unknown).
  explicit ImportResolver(std::span<const std::string_view> file_ids, std::string go_module = "");

  // The files (indices into file_ids, ascending, without `from` itself) that
  // file `from`, whose text is `text`, imports.
  std::vector<uint32_t> resolve(uint32_t from, std::string_view text) const;
  // The same in two steps: the specifiers the text of file `from` holds (by
  // its language), then the files they name.
  std::vector<std::string> specifiers(uint32_t from, std::string_view text) const;
  std::vector<uint32_t> resolve(uint32_t from, std::span<const std::string_view> specs) const;

  // One specifier of file `from`; appends what it names to `out`.
  void resolve_python(uint32_t from, std::string_view spec, std::vector<uint32_t>& out) const;
  void resolve_script(uint32_t from, std::string_view spec, std::vector<uint32_t>& out) const;
  void resolve_go(std::string_view path, std::vector<uint32_t>& out) const;

 private:
  bool add_file(std::string_view id, std::vector<uint32_t>& out) const;

  std::span<const std::string_view> ids_;
  std::unordered_map<std::string_view, uint32_t> by_id_;
  // Python module names ("a.b" for a/b.py and a/b/__init__.py) -> files.
  std::unordered_map<std::string, std::vector<uint32_t>> py_modules_;
  // Directories holding Go files -> their non-test Go files.
  std::unordered_map<std::string, std::vector<uint32_t>> go_dirs_;
  // Every tail of those directories' paths ("a/b/c", "b/c", "c") -> the shortest directory with it.
  std::unordered_map<std::string, std::string> go_tails_;
  std::string go_module_;
};

}  // namespace kestrune::br
