// kestrune.lexscan: the scanner for Python hosts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kestrune/base/py_support.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/python_errors.h"
#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/lexscan/symbols.h"
#include "kestrune/lexscan/walk.h"

namespace py = pybind11;
namespace kp = kestrune::py;
namespace json = kestrune::json;
using namespace kestrune::lexscan;

namespace {

std::vector<std::string> str_list(py::handle h, std::string_view arg, bool text = false) {
  py::list l = kp::require_list(h, arg);
  std::vector<std::string> out;
  out.reserve(l.size());
  for (py::handle item : l) out.push_back(text ? kp::require_text(item, arg) : kp::require_str(item, arg));
  return out;
}

// Lines given from Python, and views on them for the block finders.
struct LinesArg {
  std::vector<std::string> storage;
  Lines views;
  LinesArg(py::handle h) : storage(str_list(h, "lines", true)) {
    views.reserve(storage.size());
    for (const auto& s : storage) views.emplace_back(s);
  }
};

Node make_node(py::handle id, py::handle kind, py::handle path, py::handle ext, py::handle size, py::handle keywords,
               py::handle content, py::handle summary, py::handle file_hash, py::handle symbol_type,
               py::handle name, py::handle line_start, py::handle line_end, py::handle body_hash,
               py::handle confidence, py::handle exported) {
  using kp::require_int;
  using kp::require_str;
  Node n;
  n.id = require_str(id, "id");
  n.kind = require_str(kind, "kind");
  n.path = require_str(path, "path");
  n.ext = require_str(ext, "ext");
  n.size = require_int(size, "size");
  n.keywords = str_list(keywords, "keywords");
  n.content = require_str(content, "content");
  n.summary = require_str(summary, "summary");
  n.file_hash = require_str(file_hash, "file_hash");
  n.symbol_type = require_str(symbol_type, "symbol_type");
  n.name = require_str(name, "name");
  n.line_start = require_int(line_start, "line_start");
  n.line_end = require_int(line_end, "line_end");
  n.body_hash = require_str(body_hash, "body_hash");
  n.confidence = require_str(confidence, "confidence");
  n.exported = kp::require_bool(exported, "exported");
  return n;
}

py::set str_set(auto const& items) {
  py::set s;
  for (auto item : items) s.add(py::str(item.data(), item.size()));
  return s;
}

}  // namespace

PYBIND11_MODULE(lexscan, m) {
  m.doc() = "Regex scanner: a project tree as an information graph.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  py::options options;
  options.disable_function_signatures();

  m.attr("SKIP_DIRS") = str_set(SKIP_DIRS);
  m.attr("SYMBOL_EXTS") = str_set(SYMBOL_EXTS);
  m.attr("MAX_FILE_BYTES") = MAX_FILE_BYTES;
  m.attr("MAX_CONTENT_CHARS") = MAX_CONTENT_CHARS;

  py::class_<Node>(m, "Node")
      .def(py::init(&make_node), py::arg("id"), py::arg("kind"), py::arg("path"), py::arg("ext"), py::arg("size"),
           py::arg("keywords"), py::arg("content") = "", py::arg("summary") = "", py::arg("file_hash") = "",
           py::arg("symbol_type") = "", py::arg("name") = "", py::arg("line_start") = 0, py::arg("line_end") = 0,
           py::arg("body_hash") = "", py::arg("confidence") = "", py::arg("exported") = false,
           "__init__(self, id, kind, path, ext, size, keywords, content='', summary='', file_hash='', "
           "symbol_type='', name='', line_start=0, line_end=0, body_hash='', confidence='', exported=False)"
           "\n--\n\nA file or symbol node of the information graph.")
      .def_readwrite("id", &Node::id)
      .def_readwrite("kind", &Node::kind)
      .def_readwrite("path", &Node::path)
      .def_readwrite("ext", &Node::ext)
      .def_readwrite("size", &Node::size)
      .def_readwrite("keywords", &Node::keywords)
      .def_readwrite("content", &Node::content)
      .def_readwrite("summary", &Node::summary)
      .def_readwrite("file_hash", &Node::file_hash)
      .def_readwrite("symbol_type", &Node::symbol_type)
      .def_readwrite("name", &Node::name)
      .def_readwrite("line_start", &Node::line_start)
      .def_readwrite("line_end", &Node::line_end)
      .def_readwrite("body_hash", &Node::body_hash)
      .def_readwrite("confidence", &Node::confidence)
      .def_readwrite("exported", &Node::exported)
      .def("as_dict", [](const Node& n) { return kp::to_python(n.as_dict()); },
          "as_dict(self)\n--\n\nThe node as the graph file holds it: a file's keys or a symbol's, in order.")
      .def("__eq__", [](const Node& a, py::object b) {
        return py::isinstance<Node>(b) && a == b.cast<const Node&>();
      }, "__eq__(self, other, /)\n--\n\nWhether other is a Node with the same fields.")
      .def("__repr__", [](const Node& n) {
        // Every field, as a dataclass shows itself.
        auto r = [](py::object o) { return std::string(py::repr(o)); };
        std::string s = "Node(id=" + r(kp::to_str(n.id)) + ", kind=" + r(kp::to_str(n.kind)) + ", path=" + r(kp::to_str(n.path)) +
                        ", ext=" + r(kp::to_str(n.ext)) + ", size=" + std::to_string(n.size) +
                        ", keywords=" + r(py::cast(n.keywords)) + ", content=" + r(kp::to_str(n.content)) +
                        ", summary=" + r(kp::to_str(n.summary)) + ", file_hash=" + r(kp::to_str(n.file_hash)) +
                        ", symbol_type=" + r(kp::to_str(n.symbol_type)) + ", name=" + r(kp::to_str(n.name)) +
                        ", line_start=" + std::to_string(n.line_start) + ", line_end=" + std::to_string(n.line_end) +
                        ", body_hash=" + r(kp::to_str(n.body_hash)) + ", confidence=" + r(kp::to_str(n.confidence)) +
                        ", exported=" + (n.exported ? "True" : "False") + ")";
        return s;
      }, "__repr__(self, /)\n--\n\nEvery field, as a dataclass shows itself.");

  m.def("_append_symbol_nodes", [](py::object nodes, py::object edges, py::object syms, py::object file_id,
                                   py::object ext) {
    py::list node_list = kp::require_list(nodes, "nodes");
    py::list edge_list = kp::require_list(edges, "edges");
    py::list sym_list = kp::require_list(syms, "syms");
    std::string fid = kp::require_str(file_id, "file_id");
    for (py::handle rec : sym_list) {
      auto get = [&](const char* key) -> py::object { return rec[py::str(key)]; };
      py::object line_start = get("line_start"), line_end = get("line_end");
      py::object size = line_end - line_start + py::int_(1);
      Node n = make_node(get("id"), py::str("symbol"), file_id, ext, size, get("keywords"), py::str(""), py::str(""),
                         py::str(""), get("symbol_type"), get("name"), line_start, line_end, get("body_hash"),
                         get("confidence"), get("exported"));
      node_list.append(py::cast(std::move(n)));
      py::dict edge;
      edge["from"] = fid;
      edge["to"] = get("id");
      edge["rel"] = "contains";
      edge_list.append(edge);
    }
  }, py::arg("nodes"), py::arg("edges"), py::arg("syms"), py::arg("file_id"), py::arg("ext"),
      "_append_symbol_nodes(nodes, edges, syms, file_id, ext)\n--\n\n"
      "Append a symbol node and a \"contains\" edge to nodes and edges for each symbol record.");

  m.def("dedupe_edges", [](py::object edges) {
    py::list in = kp::require_list(edges, "edges");
    py::set seen;
    py::list out;
    for (py::handle e : in) {
      py::tuple key = py::make_tuple(e[py::str("from")], e[py::str("to")], e[py::str("rel")]);
      if (seen.contains(key)) continue;
      seen.add(key);
      out.append(e);
    }
    return out;
  }, py::arg("edges"), "dedupe_edges(edges)\n--\n\nThe edges with only the first of each (from, to, rel), in order.");

  m.def("should_scan", [](py::object path) { return should_scan(kp::require_path(path, "path")); }, py::arg("path"),
      "should_scan(path)\n--\n\n"
      "Whether the walk takes a file of this path (by its extension, outside venv folders).");
  m.def("walk_files", [](py::object root) {
    std::string r = kp::require_path(root, "root");
    py::gil_scoped_release unlocked;
    return walk_files(r);
  }, py::arg("root"), "walk_files(root)\n--\n\nThe paths of the files a scan of root reads, in walk order.");
  m.def("rel", [](py::object path, py::object root) {
    return rel(kp::require_path(path, "path"), kp::require_path(root, "root"));
  }, py::arg("path"), py::arg("root"),
      "rel(path, root)\n--\n\nThe graph id of path: its path relative to root, both resolved.");

  m.def("scan", [](py::object root, py::object existing_nodes) {
    std::string r = kp::require_path(root, "root");
    json::Object reuse;
    if (!existing_nodes.is_none())
      reuse = kp::from_python(kp::require_dict(existing_nodes, "existing_nodes"), "existing_nodes")
                  .as_object();
    json::Value graph;
    try {
      py::gil_scoped_release unlocked;
      graph = scan(r, &reuse);
    } catch (const NotAProjectRoot& e) {
      set_python_error(e);
      throw py::error_already_set();
    }
    // The record's root is the text of the argument as given.
    json::Object& g = graph.as_object();
    g.set("root", kp::from_str(py::str(root)));
    return kp::to_python(graph);
  }, py::arg("root"), py::arg("existing_nodes") = py::none(),
      "scan(root, existing_nodes=None)\n--\n\n"
      "The graph record of the project at root; existing_nodes (file id -> earlier node) lends unchanged files "
      "their keywords, summary and content.");

  auto extractor = [&m](const char* name, std::vector<Symbol> (*fn)(std::string_view, std::string_view),
                        const char* doc) {
    m.def(name, [fn](py::object content, py::object file_path) {
      return kp::to_python_list(fn(kp::require_text(content, "content"), kp::require_str(file_path, "file_path")));
    }, py::arg("content"), py::arg("file_path"), doc);
  };
  extractor("extract_symbols_ts", &symbols_ts,
            "extract_symbols_ts(content, file_path)\n--\n\nThe symbol records of a TypeScript or JavaScript text.");
  extractor("extract_symbols_py", &symbols_py,
            "extract_symbols_py(content, file_path)\n--\n\nThe symbol records of a Python text.");
  extractor("extract_symbols_php", &symbols_php,
            "extract_symbols_php(content, file_path)\n--\n\nThe symbol records of a PHP text.");
  extractor("extract_symbols_cs", &symbols_cs,
            "extract_symbols_cs(content, file_path)\n--\n\nThe symbol records of a C# text.");
  m.def("_extract_symbols_for_file", [](py::object content, py::object file_id, py::object ext) {
    return kp::to_python_list(symbols_for_file(kp::require_text(content, "content"),
                                    kp::require_str(file_id, "file_id"), kp::require_str(ext, "ext")));
  }, py::arg("content"), py::arg("file_id"), py::arg("ext"),
      "_extract_symbols_for_file(content, file_id, ext)\n--\n\n"
      "The symbol records of a file's text, by the extractor its extension calls for.");

  m.def("parse_relations", [](py::object path, py::object text, py::object root) {
    return kp::to_python_list(parse_relations(kp::require_path(path, "path"), kp::require_text(text, "text"),
                                     kp::require_path(root, "root")));
  }, py::arg("path"), py::arg("text"), py::arg("root"),
      "parse_relations(path, text, root)\n--\n\nThe \"imports\" and \"requires\" edges of one file's text.");

  m.def("_classify_ts", [](py::object name, py::object exported) {
    return classify_ts(kp::require_text(name, "name"), kp::require_bool(exported, "exported"));
  }, py::arg("name"), py::arg("exported"),
      "_classify_ts(name, exported)\n--\n\n(symbol type, confidence) of a TypeScript or JavaScript name.");
  m.def("_find_block_end_ts", [](py::object lines, py::object start) {
    LinesArg l(lines);
    return find_block_end_ts(l.views, kp::require_int(start, "start"));
  }, py::arg("lines"), py::arg("start"),
      "_find_block_end_ts(lines, start)\n--\n\nIndex of the last line of the brace block opening at line start.");
  m.def("_find_block_end_py", [](py::object lines, py::object start) {
    LinesArg l(lines);
    return find_block_end_py(l.views, kp::require_int(start, "start"));
  }, py::arg("lines"), py::arg("start"),
      "_find_block_end_py(lines, start)\n--\n\nIndex of the last line of the indented body starting at line start.");
  m.def("_body_hash", [](py::object lines, py::object start, py::object end) {
    LinesArg l(lines);
    return body_hash(l.views, kp::require_int(start, "start"), kp::require_int(end, "end"));
  }, py::arg("lines"), py::arg("start"), py::arg("end"),
      "_body_hash(lines, start, end)\n--\n\n"
      "The first 8 hex digits of the MD5 of lines[start:end + 1] joined with line feeds.");

  m.def("_split_camel", [](py::object name) { return split_camel(kp::require_str(name, "name")); },
        py::arg("name"),
            "_split_camel(name)\n--\n\nThe camel-case words of name of at least 3 characters, lower-cased.");
  m.def("_name_keywords", [](py::object name) { return name_keywords(kp::require_str(name, "name")); },
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

  m.def("main", [](py::object argv) {
    // Like argparse and a failing command: a non-zero status leaves as SystemExit.
    if (int status = kp::run_main(&command_main, argv, "lexscan"); status != 0) {
      PyErr_SetObject(PyExc_SystemExit, py::int_(status).ptr());
      throw py::error_already_set();
    }
  }, py::arg("argv") = py::none(),
      "main(argv=None)\n--\n\nRun the lexscan command on argv (default sys.argv[1:]); a failure raises SystemExit.");
}
