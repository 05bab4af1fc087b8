// kestrune.ctxpack: estimate_tokens, load_summaries and pack for the Python host.
#include <pybind11/pybind11.h>

#include <algorithm>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/ctxpack/ctxpack.h"

namespace pb = pybind11;
namespace kpy = kestrune::py;
using namespace kestrune;

namespace {

std::string path_arg(pb::handle h, std::string_view arg) {
  return kpy::require_str(pb::module_::import("os").attr("fspath")(h), arg);
}

[[noreturn]] void raise_os_error(const std::string& what) {
  PyErr_SetString(PyExc_OSError, what.c_str());
  throw pb::error_already_set();
}

// A RetrieveResult as br's module gives it (attributes), or a mapping with
// "files" and "edges", or a (files, edges) pair.
std::pair<json::Value, json::Value> result_parts(pb::handle r) {
  if (pb::hasattr(r, "files") && pb::hasattr(r, "edges"))
    return {kpy::from_python(r.attr("files"), "retrieve_result.files"),
            kpy::from_python(r.attr("edges"), "retrieve_result.edges")};
  if (pb::isinstance<pb::dict>(r)) {
    pb::dict d = pb::reinterpret_borrow<pb::dict>(r);
    return {kpy::from_python(d.contains("files") ? d["files"] : pb::list(), "retrieve_result.files"),
            kpy::from_python(d.contains("edges") ? d["edges"] : pb::list(), "retrieve_result.edges")};
  }
  if ((pb::isinstance<pb::tuple>(r) || pb::isinstance<pb::list>(r)) && pb::len(r) == 2) {
    pb::sequence s = pb::reinterpret_borrow<pb::sequence>(r);
    return {kpy::from_python(s[0], "retrieve_result.files"), kpy::from_python(s[1], "retrieve_result.edges")};
  }
  throw pb::type_error("retrieve_result must be a RetrieveResult");
}

json::Array list_or_empty(const json::Value& v, const char* arg) {
  if (v.is_null()) return {};
  if (!v.is_array()) throw pb::type_error(std::string(arg) + " must be list");
  return v.as_array();
}

}  // namespace

PYBIND11_MODULE(ctxpack, m) {
  m.doc() = "Packs a retrieval result into a Markdown context within a token budget.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  pb::options options;
  options.disable_function_signatures();

  m.def(
      "estimate_tokens",
      [](pb::handle text) { return ctxpack::estimate_tokens(kpy::require_str(text, "text")); },
      pb::arg("text"),
      "estimate_tokens(text)\n--\n\nTokens of a text by the rule of one per four characters, rounded up.");

  m.def(
      "load_summaries",
      [](pb::handle project_root) {
        std::string root = path_arg(project_root, "project_root");
        ctxpack::Summaries s;
        try {
          s = ctxpack::load_summaries(root);
        } catch (const fs::OsError& e) {
          raise_os_error(e.what());
        } catch (const std::runtime_error& e) {
          throw pb::value_error(e.what());
        }
        // Sorted, so the dict is the same from run to run.
        std::vector<std::pair<std::string, std::string>> items(s.begin(), s.end());
        std::sort(items.begin(), items.end());
        pb::dict out;
        for (auto& [k, v] : items) out[kpy::to_str(k)] = kpy::to_str(v);
        return out;
      },
      pb::arg("project_root"),
      "load_summaries(project_root)\n--\n\n"
      "Summaries from <project_root>/.braid/summaries.json: a dict from file id to text ({} without the file).");

  m.def(
      "pack",
      [](pb::handle retrieve_result, pb::handle summaries, pb::handle graph, pb::handle project_root,
         pb::handle token_budget, pb::handle max_files, pb::handle query) {
        auto [files_v, edges_v] = result_parts(retrieve_result);
        json::Array files = list_or_empty(files_v, "retrieve_result.files");
        json::Array edges = list_or_empty(edges_v, "retrieve_result.edges");
        ctxpack::Summaries sums;
        if (!summaries.is_none()) {
          for (auto [k, v] : kpy::require_dict(summaries, "summaries"))
            if (pb::isinstance<pb::str>(k) && pb::isinstance<pb::str>(v))
              sums[k.cast<std::string>()] = v.cast<std::string>();
        }
        kpy::require_dict(graph, "graph");
        json::Value g = kpy::from_python(graph, "graph");
        std::string root = path_arg(project_root, "project_root");
        long long budget = kpy::require_int(token_budget, "token_budget");
        long long max = kpy::require_int(max_files, "max_files");
        std::string q = query.is_none() ? std::string() : kpy::require_str(query, "query");
        std::string out;
        {
          pb::gil_scoped_release release;
          out = ctxpack::pack({files, edges, sums, g, root, budget, max, q});
        }
        return out;
      },
      pb::arg("retrieve_result"), pb::arg("summaries"), pb::arg("graph"), pb::arg("project_root"),
      pb::arg("token_budget"), pb::arg("max_files"), pb::arg("query") = pb::none(),
      "pack(retrieve_result, summaries, graph, project_root, token_budget, max_files, query=None)\n--\n\n"
      "The Markdown context for a retrieval result, within token_budget tokens.");
}
