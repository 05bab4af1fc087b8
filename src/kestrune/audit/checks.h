// The auditor's code-health checks over an information graph and the project's sources.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::audit {

// Source-file suffixes, compared case-sensitively.
inline constexpr std::string_view CODE_EXTS[] = {
    ".ts", ".tsx", ".js",  ".jsx", ".py",  ".go",    ".rs",  ".java", ".kt", ".cs", ".rb", ".php",
    ".c",  ".cpp", ".cc",  ".swift", ".dart", ".ex", ".exs", ".scala", ".lua", ".jl", ".hs", ".zig"};

bool is_code_ext(std::string_view suffix);
// is_code_ext(fs::suffix(path)): whether the path names a source file.
bool has_code_suffix(std::string_view path);

// The graph under root/.braid/info_graph.json; an empty object when it is
// missing, unreadable, not JSON or not an object.
json::Value load_graph(const std::string& root);
// The text of a project-relative file (UTF-8, bad bytes replaced, universal
// newlines), or "" when it is missing or unreadable.
std::string read_source(const std::string& root, std::string_view file_id);

// Each check reads the graph (and the sources under root) and returns its
// records as JSON, in the shapes audit_report.json stores.
// The report keeps the first DEAD_EXPORTS_CAP dead exports; `limit` asks for another number (SIZE_MAX: all).
inline constexpr size_t DEAD_EXPORTS_CAP = 50;
json::Value check_dead_exports(const json::Value& graph, size_t limit = DEAD_EXPORTS_CAP);
json::Value check_test_coverage(const json::Value& graph, const std::string& root);
json::Value check_circular_deps(const json::Value& graph);
json::Value check_copy_paste(const json::Value& graph);
json::Value check_db_in_routes(const json::Value& graph, const std::string& root);
json::Value check_todos(const json::Value& graph, const std::string& root);
json::Value check_missing_error_handling(const json::Value& graph, const std::string& root);

// Raised by run_audit when there is no usable graph, after its two messages
// went to the progress sink; the command ends with status 1.
struct NoGraph : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Receives the progress text run_audit writes to standard error.
using Progress = std::function<void(std::string_view)>;

// Loads the graph, runs every check in order and returns the results record:
// "_graph", one key per check, then "debt_score".
json::Object run_audit(const std::string& root, const Progress& progress);

}  // namespace kestrune::audit
