// A throwaway project directory for the audit tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"

namespace kestrune::audit::testing {

class TempProject {
 public:
  TempProject() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "audit-test-XXXXXX").string();
    root = ::mkdtemp(tmpl.data());
  }
  ~TempProject() { std::filesystem::remove_all(root); }
  TempProject(const TempProject&) = delete;
  TempProject& operator=(const TempProject&) = delete;

  void write(const std::string& rel, const std::string& text) const {
    const std::string path = fs::join(root, rel);
    fs::makedirs(fs::dirname(path));
    fs::write_atomic(path, text);
  }
  void write_graph(const std::string& text) const { write(".braid/info_graph.json", text); }

  std::string root;
};

// prefix + i + suffix, e.g. numbered("f", 3, ".ts") is "f3.ts".
inline std::string numbered(std::string_view prefix, long i, std::string_view suffix = "") {
  std::string s(prefix);
  s += std::to_string(i);
  s += suffix;
  return s;
}

inline json::Value graph(std::string_view text) { return json::parse(text); }

}  // namespace kestrune::audit::testing
