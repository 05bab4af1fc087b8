// kestrune.treescan: the syntax-tree scanner for Python hosts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/python_errors.h"
#include "kestrune/lexscan/symbols.h"
#include "kestrune/lexscan/walk.h"
#include "kestrune/treescan/keywords.h"
#include "kestrune/treescan/peers.h"
#include "kestrune/treescan/treescan.h"
#include "kestrune/treescan/walk.h"

namespace py = pybind11;
namespace kp = kestrune::py;
namespace json = kestrune::json;
namespace lexscan = kestrune::lexscan;
using namespace kestrune::treescan;

namespace {

template <size_t N>
py::set str_set(const std::array<std::string_view, N>& items) {
  py::set s;
  for (auto item : items) s.add(py::str(item.data(), item.size()));
  return s;
}

// A failed file operation leaves as the OSError subclass its errno names, as
// it would from open() or write(); a root that is no directory likewise.
void translate_errors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const lexscan::NotAProjectRoot& e) {
    lexscan::set_python_error(e);
  } catch (const kestrune::fs::OsError& e) {
    py::object args = py::make_tuple(e.err, std::strerror(e.err), kp::to_str(e.path));
    PyErr_SetObject(PyExc_OSError, args.ptr());
  }
}

// Writes to sys.stdout, as print does.
void write_stdout(std::string_view s) {
  py::gil_scoped_acquire gil;
  py::module_::import("sys").attr("stdout").attr("write")(kp::to_str(s));
}

}  // namespace

PYBIND11_MODULE(treescan, m) {
  m.doc() = "Syntax-tree scanner: a project tree as an information graph, from tree-sitter syntax trees.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  py::options options;
  options.disable_function_signatures();
  py::register_local_exception_translator(&translate_errors);

  const Grammars& g = grammars();
  if (!g.ast_available) py::print(g.warning());
  m.attr("_AST_AVAILABLE") = g.ast_available;
  m.attr("_GO_AVAILABLE") = static_cast<bool>(g.go);

  m.attr("SKIP_DIRS") = str_set(SKIP_DIRS);
  m.attr("SYMBOL_EXTS") = str_set(SYMBOL_EXTS);
  m.attr("MAX_FILE_BYTES") = MAX_FILE_BYTES;
  m.attr("MAX_CONTENT_CHARS") = MAX_CONTENT_CHARS;
  {
    py::object compile = py::module_::import("re").attr("compile");
    py::object ignorecase = py::module_::import("re").attr("IGNORECASE");
    py::list pairs;
    for (const auto& [x, y] : PEER_PAIRS)
      pairs.append(py::make_tuple(compile(py::str(x.data(), x.size()), ignorecase),
                                  compile(py::str(y.data(), y.size()), ignorecase)));
    m.attr("_PEER_PAIRS") = pairs;
  }
  // The graph model is the regex scanner's, shared as it is.
  py::module_ lex = py::module_::import("kestrune.lexscan");
  for (const char* name : {"Node", "_append_symbol_nodes", "dedupe_edges", "_body_hash"}) m.attr(name) = lex.attr(name);

  m.def("_classify_ts_name", [](py::object name, py::object exported) {
    return classify_ts_name(kp::require_text(name, "name"), kp::require_bool(exported, "exported"));
  }, py::arg("name"), py::arg("exported"),
      "_classify_ts_name(name, exported)\n--\n\n(symbol type, confidence) of a TypeScript or JavaScript name.");

  m.def("extract_symbols_ts_ast", [](py::object content, py::object file_path, py::object ext) {
    return kp::to_python_list(extract_symbols_ts_ast(kp::require_text(content, "content"),
                                          kp::require_str(file_path, "file_path"), kp::require_str(ext, "ext")));
  }, py::arg("content"), py::arg("file_path"), py::arg("ext"),
      "extract_symbols_ts_ast(content, file_path, ext)\n--\n\n"
      "The symbol records of a TypeScript, TSX or JavaScript text, from its syntax tree.");
  m.def("extract_imports_ts_ast", [](py::object content, py::object file_path, py::object ext) {
    return kp::to_python_list(extract_imports_ts_ast(kp::require_text(content, "content"),
                                            kp::require_str(file_path, "file_path"), kp::require_str(ext, "ext")));
  }, py::arg("content"), py::arg("file_path"), py::arg("ext"),
      "extract_imports_ts_ast(content, file_path, ext)\n--\n\n"
      "The import and require edges of a TypeScript, TSX or JavaScript text, from its syntax tree.");
  auto two = [&m](const char* name, auto fn, const char* doc) {
    m.def(
        name,
        [fn](py::object content, py::object file_path) {
          return kp::to_python_list(
              fn(kp::require_text(content, "content"), kp::require_str(file_path, "file_path"), grammars()));
        },
        py::arg("content"), py::arg("file_path"), doc);
  };
  two("extract_symbols_py_ast", &extract_symbols_py_ast,
      "extract_symbols_py_ast(content, file_path)\n--\n\nThe symbol records of a Python text, from its syntax tree.");
  two("extract_symbols_go_ast", &extract_symbols_go_ast,
      "extract_symbols_go_ast(content, file_path)\n--\n\nThe symbol records of a Go text, from its syntax tree.");
  two("extract_imports_py_ast", &extract_imports_py_ast,
      "extract_imports_py_ast(content, file_path)\n--\n\nThe import edges of a Python text, from its syntax tree.");
  two("extract_imports_go_ast", &extract_imports_go_ast,
      "extract_imports_go_ast(content, file_path)\n--\n\nThe import edges of a Go text, from its syntax tree.");

  m.def("_extract_symbols", [](py::object content, py::object file_id, py::object ext) {
    return kp::to_python_list(extract_symbols(kp::require_text(content, "content"), kp::require_str(file_id, "file_id"),
                                   kp::require_str(ext, "ext")));
  }, py::arg("content"), py::arg("file_id"), py::arg("ext"),
      "_extract_symbols(content, file_id, ext)\n--\n\n"
      "The symbol records of a file's text: from its syntax tree when a grammar covers it, else by pattern.");
  m.def(
      "_extract_imports",
      [](py::object content, py::object file_id, py::object ext, py::object root) {
        kp::require_path(root, "root");  // accepted, not used
        return kp::to_python_list(extract_imports(kp::require_text(content, "content"),
                                                  kp::require_str(file_id, "file_id"), kp::require_str(ext, "ext")));
      },
      py::arg("content"), py::arg("file_id"), py::arg("ext"), py::arg("root"),
      "_extract_imports(content, file_id, ext, root)\n--\n\n"
      "The import edges of a file's text: from its syntax tree when a grammar covers it, else by pattern.");
  m.def("_parse_relations_regex", [](py::object file_id, py::object text) {
    return kp::to_python_list(
        parse_relations_regex(kp::require_str(file_id, "file_id"), kp::require_text(text, "text")));
  }, py::arg("file_id"), py::arg("text"),
      "_parse_relations_regex(file_id, text)\n--\n\nThe import and require edges the five patterns find in text.");
  m.def("_structural_peer_edges", [](py::object file_ids) {
    py::list l = kp::require_list(file_ids, "file_ids");
    std::vector<std::string> ids;
    for (py::handle id : l) ids.push_back(kp::require_str(id, "file_ids"));
    return kp::to_python_list(structural_peer_edges(ids));
  }, py::arg("file_ids"),
      "_structural_peer_edges(file_ids)\n--\n\n"
      "The \"structural_peer\" edges, one each way, between files of one directory whose names pair up.");

  m.def("should_scan", [](py::object path) { return should_scan(kp::require_path(path, "path")); }, py::arg("path"),
      "should_scan(path)\n--\n\nWhether the walk takes a file of this path (by its extension, outside venv folders).");
  m.def("walk_files", [](py::object root) {
    std::string r = kp::require_path(root, "root");
    py::gil_scoped_release unlocked;
    return walk_files(r);
  }, py::arg("root"), "walk_files(root)\n--\n\nThe paths of the files a scan of root reads, in walk order.");
  m.def("rel", [](py::object path, py::object root) {
    return lexscan::rel(kp::require_path(path, "path"), kp::require_path(root, "root"));
  }, py::arg("path"), py::arg("root"),
      "rel(path, root)\n--\n\nThe graph id of path: its path relative to root, both resolved.");

  m.def("_split_camel", [](py::object name) { return lexscan::split_camel(kp::require_str(name, "name")); },
        py::arg("name"),
        "_split_camel(name)\n--\n\nThe camel-case words of name of at least 3 characters, lower-cased.");
  m.def("_name_keywords", [](py::object name) { return lexscan::name_keywords(kp::require_str(name, "name")); },
        py::arg("name"), "_name_keywords(name)\n--\n\nUp to 10 keywords of a symbol name.");
  m.def("extract_keywords", [](py::object content, py::object ext) {
    return extract_keywords(kp::require_text(content, "content"), kp::require_str(ext, "ext"));
  }, py::arg("content"), py::arg("ext"),
      "extract_keywords(content, ext)\n--\n\nUp to 80 keywords of a file's text; ext is its lower-cased extension.");
  m.def("_make_summary", [](py::object content, py::object path, py::object ext) {
    return make_summary(kp::require_text(content, "content"), kp::require_str(path, "path"),
                        kp::require_str(ext, "ext"));
  }, py::arg("content"), py::arg("path"), py::arg("ext"),
      "_make_summary(content, path, ext)\n--\n\nThe file's one-line summary, at most 250 characters.");

  m.def("scan", [](py::object root, py::object existing_nodes) {
    std::string r = kp::require_path(root, "root");
    json::Object reuse;
    if (!existing_nodes.is_none())
      reuse = kp::from_python(kp::require_dict(existing_nodes, "existing_nodes"), "existing_nodes").as_object();
    json::Value graph;
    {
      py::gil_scoped_release unlocked;
      graph = scan(r, &reuse);
    }
    // The record's root is the text of the argument as given.
    graph.as_object().set("root", kp::from_str(py::str(root)));
    return kp::to_python(graph);
  }, py::arg("root"), py::arg("existing_nodes") = py::none(),
      "scan(root, existing_nodes=None)\n--\n\n"
      "The graph record of the project at root, with ast_mode; existing_nodes (file id -> earlier node) lends "
      "unchanged files their keywords, summary and content.");

  m.def("compare", [](py::object root, py::object ast_out, py::object regex_out) {
    std::string r = kp::require_path(root, "root"), a = kp::require_path(ast_out, "ast_out"),
                x = kp::require_path(regex_out, "regex_out");
    py::gil_scoped_release unlocked;
    compare(r, a, x, write_stdout);
  }, py::arg("root"), py::arg("ast_out"), py::arg("regex_out"),
      "compare(root, ast_out, regex_out)\n--\n\n"
      "Scan root with both scanners, write both graphs and print the side-by-side report.");

  m.def("main", [](py::object argv) {
    // Like argparse and a failing command: a non-zero status leaves as SystemExit.
    if (int status = kp::run_main(&command_main, argv, "treescan"); status != 0) {
      PyErr_SetObject(PyExc_SystemExit, py::int_(status).ptr());
      throw py::error_already_set();
    }
  }, py::arg("argv") = py::none(),
      "main(argv=None)\n--\n\nRun the treescan command on argv (default sys.argv[1:]); a failure raises SystemExit.");
}
