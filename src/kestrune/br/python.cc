// kestrune.br: the retrieval module's Python face.
#include <dlfcn.h>
#include <pybind11/pybind11.h>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/br/br.h"
#include "kestrune/br/commands.h"
#include "kestrune/base/pyint.h"
#include "kestrune/br/relevance.h"
#include "kestrune/br/retrieve.h"
#include "kestrune/lexscan/python_errors.h"

namespace pb = pybind11;
namespace kpy = kestrune::py;
namespace br = kestrune::br;
using kestrune::json::Value;

namespace {

// The directory holding this extension module's file, links resolved.
std::string module_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_dir), &info) == 0 || !info.dli_fname)
    throw std::runtime_error("cannot locate the br module file");
  return kestrune::fs::parent(kestrune::fs::resolve(info.dli_fname));
}

std::vector<std::string> require_str_list(pb::handle h, std::string_view arg) {
  pb::list list = kpy::require_list(h, arg);
  std::vector<std::string> out;
  for (pb::handle item : list) out.push_back(kpy::require_str(item, arg));
  return out;
}

std::string fspath(pb::handle h, std::string_view arg) {
  if (!pb::isinstance<pb::str>(h) && !pb::hasattr(h, "__fspath__"))
    throw pb::type_error(std::string(arg) + " must be str or os.PathLike");
  return pb::module_::import("os").attr("fspath")(h).cast<std::string>();
}

pb::list str_list(const std::vector<std::string>& v) {
  pb::list out;
  for (const auto& s : v) out.append(kpy::to_str(s));
  return out;
}

}  // namespace

PYBIND11_MODULE(br, m) {
  m.doc() = "Retrieval over the information graph and the br command line.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  pb::options options;
  options.disable_function_signatures();
  pb::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const br::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const kestrune::pyint::IntConversionError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const kestrune::lexscan::NotAProjectRoot& e) {
      kestrune::lexscan::set_python_error(e);
    } catch (const kestrune::fs::OsError& e) {
      PyErr_SetObject(PyExc_OSError,
                      pb::make_tuple(e.err, std::strerror(e.err), e.path).ptr());
    } catch (const kestrune::json::ParseError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  br::set_base_dir(module_dir());
  const br::Paths& p = br::paths();
  pb::object Path = pb::module_::import("pathlib").attr("Path");
  m.attr("BASE_DIR") = Path(p.base_dir);
  m.attr("DATA_DIR") = Path(p.data_dir);
  m.attr("GRAPH_JSON") = Path(p.graph_json);
  m.attr("ACTION_LOG") = Path(p.action_log);
  m.attr("TOKEN_LOG") = Path(p.token_log);
  m.attr("CAPABILITY_INDEX") = Path(p.capability_index);
  m.attr("DEFAULT_ROOT") = Path(p.default_root);

  pb::object namedtuple = pb::module_::import("collections").attr("namedtuple");
  pb::object CapabilityEntry = namedtuple("CapabilityEntry", pb::make_tuple("name", "keywords", "files"));
  pb::object RetrieveResult = namedtuple("RetrieveResult", pb::make_tuple("files", "edges"));
  CapabilityEntry.attr("__module__") = "kestrune.br";
  RetrieveResult.attr("__module__") = "kestrune.br";
  m.attr("CapabilityEntry") = CapabilityEntry;
  m.attr("RetrieveResult") = RetrieveResult;

  m.def("ensure_data_dir", [] { br::ensure_data_dir(); },
      "ensure_data_dir()\n--\n\nCreate DATA_DIR with any missing parents.");
  m.def("load_graph", [] { return kpy::to_python(br::load_graph()); },
      "load_graph()\n--\n\nbr's graph: GRAPH_JSON when it exists, else a scan of DEFAULT_ROOT written there.");

  m.def("extract_route", [](pb::object query) {
    auto r = br::extract_route(kpy::require_str(query, "query"));
    return pb::make_tuple(r.method, str_list(r.segments));
  }, pb::arg("query"),
      "extract_route(query)\n--\n\n(method, path segments) of the first HTTP route named in query, or ('', []).");
  m.def("tokenize_query", [](pb::object text) {
    return str_list(br::tokenize_query(kpy::require_str(text, "text")));
  }, pb::arg("text"),
      "tokenize_query(text)\n--\n\n"
      "The query's terms: lower-cased words of 2 or more characters, stop words and repeats dropped.");
  m.def("classify_intent", [](pb::object query) {
    return std::string(br::intent_name(br::classify_intent(kpy::require_str(query, "query"))));
  }, pb::arg("query"),
      "classify_intent(query)\n--\n\n"
      "The intent of a query: debug, explain, test, refactor, feature, edit or general.");
  m.def("node_role", [](pb::object path, pb::object ext) {
    return std::string(br::role_name(br::node_role(kpy::require_str(path, "path"), kpy::require_str(ext, "ext"))));
  }, pb::arg("path"), pb::arg("ext"),
      "node_role(path, ext)\n--\n\nThe role of a file: docs, test, shared_ui, ui_surface, logic or code.");
  m.def("intent_role_weight", [](pb::object intent, pb::object role) {
    return br::intent_role_weight(kpy::require_str(intent, "intent"), kpy::require_str(role, "role"));
  }, pb::arg("intent"), pb::arg("role"),
      "intent_role_weight(intent, role)\n--\n\n"
      "How much a role weighs for an intent (the general row for an unknown intent).");

  m.def("score_text", [](pb::object text, pb::object terms) {
    return br::score_text(kpy::require_str(text, "text"), require_str_list(terms, "terms"));
  }, pb::arg("text"), pb::arg("terms"), "score_text(text, terms)\n--\n\nHow well text matches the query terms.");
  m.def("query_scoped_to_feature", [](pb::object q) {
    return br::query_scoped_to_feature(kpy::require_str(q, "q"));
  }, pb::arg("q"), "query_scoped_to_feature(q)\n--\n\nWhether the query names a feature to stay within.");
  m.def("score_node", [](pb::object node, pb::object terms, pb::object query) {
    kpy::require_dict(node, "node");
    auto t = require_str_list(terms, "terms");
    auto q = kpy::require_str(query, "query");
    return br::score_node(kpy::from_python(node, "node"), t, q);
  }, pb::arg("node"), pb::arg("terms"), pb::arg("query"),
      "score_node(node, terms, query)\n--\n\nThe score of one graph node for a query and its terms.");

  m.def("load_capability_index", [CapabilityEntry](pb::object path) {
    pb::list out;
    for (const auto& c : br::load_capability_index(fspath(path, "path")))
      out.append(CapabilityEntry(c.name, str_list(c.keywords), str_list(c.files)));
    return out;
  }, pb::arg("path"),
      "load_capability_index(path)\n--\n\n"
      "The CapabilityEntry records of a capability index file ([] without the file).");
  m.def("capability_file_boosts", [](pb::object query_terms, pb::object caps) {
    auto terms = require_str_list(query_terms, "query_terms");
    std::vector<br::CapabilityEntry> entries;
    pb::list cap_list = kpy::require_list(caps, "caps");
    for (pb::handle c : cap_list) {
      pb::object name = c.attr("name"), keywords = c.attr("keywords"), files = c.attr("files");
      br::CapabilityEntry entry;
      entry.name = kpy::require_str(name, "caps");
      entry.keywords = require_str_list(keywords, "caps");
      entry.files = require_str_list(files, "caps");
      entries.push_back(std::move(entry));
    }
    const br::CapabilityBoosts boosts = br::capability_file_boosts(terms, entries);
    pb::dict out;
    for (const auto& [file, boost] : boosts.entries())
      out[kpy::to_str(file)] = boost;
    return out;
  }, pb::arg("query_terms"), pb::arg("caps"),
      "capability_file_boosts(query_terms, caps)\n--\n\n"
      "File (or directory) -> boost from the capabilities whose keywords meet the query terms.");

  // Scores on a converted copy but answers with the caller's own objects:
  // chosen edges and fallback nodes are the graph's, chosen files are copies.
  m.def("retrieve", [RetrieveResult](pb::object graph, pb::object query, pb::object top_files,
                                     pb::object top_edges, pb::object ranker) {
    pb::dict g = kpy::require_dict(graph, "graph");
    std::string q = kpy::require_str(query, "query");
    long long tf = kpy::require_int(top_files, "top_files");
    long long te = kpy::require_int(top_edges, "top_edges");
    const std::string ranker_name = kpy::require_str(ranker, "ranker");
    const auto chosen = br::ranker_from_name(ranker_name);
    if (!chosen) throw pb::value_error("ranker must be 'heuristic' or 'relevance', not '" + ranker_name + "'");
    auto caps = br::load_capability_index(br::paths().capability_index);
    Value converted = kpy::from_python(g, "graph");
    br::Selection sel = *chosen == br::Ranker::Heuristic ? br::select(converted, q, tf, te, caps)
                                                         : br::select_relevance(converted, q, tf, te, caps);
    pb::object nodes = g.contains("nodes") ? g["nodes"] : pb::object(pb::list());
    pb::object edges = g.contains("edges") ? g["edges"] : pb::object(pb::list());
    pb::list files, chosen_edges;
    for (const auto& c : sel.files) {
      pb::dict copy;
      for (auto item : nodes[pb::int_(c.index)].cast<pb::dict>())
        if (!(pb::isinstance<pb::str>(item.first) && item.first.cast<std::string>() == "content"))
          copy[item.first] = item.second;
      copy["_score"] = c.score;
      copy["_role"] = std::string(br::role_name(c.role));
      copy["_intent"] = std::string(br::intent_name(sel.intent));
      files.append(copy);
    }
    for (size_t i = 0; i < sel.fallback_files; ++i) files.append(nodes[pb::int_(i)]);
    for (size_t i : sel.edges) chosen_edges.append(edges[pb::int_(i)]);
    for (size_t i = 0; i < sel.fallback_edges; ++i) chosen_edges.append(edges[pb::int_(i)]);
    return RetrieveResult(files, chosen_edges);
  }, pb::arg("graph"), pb::arg("query"), pb::arg("top_files"), pb::arg("top_edges"),
     pb::arg("ranker") = "heuristic",
         "retrieve(graph, query, top_files, top_edges, ranker='heuristic')\n--\n\n"
         "RetrieveResult(files, edges): the files and relations of graph most relevant to query.");

  m.def("read_action_events", [](pb::object limit) {
    return kpy::to_python(Value(br::read_action_events(kpy::require_int(limit, "limit"))));
  }, pb::arg("limit") = 8,
      "read_action_events(limit=8)\n--\n\nThe logged action events, events[-limit:] of them, oldest first.");

  m.def("main", [](pb::object argv) { return kpy::run_main(&br::command_main, argv, "br"); },
        pb::arg("argv") = pb::none(),
            "main(argv=None)\n--\n\nRun the br command on argv (default sys.argv[1:]) and return its exit status.");
}
