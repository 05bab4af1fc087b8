#include <gtest/gtest.h>

#include "testing.h"

namespace kestrune::treescan {
namespace {

using testing::all_grammars;
using testing::brief;
using Strings = std::vector<std::string>;

struct SymbolCase {
  const char* ext;
  std::string src;
  Strings expected;
};

std::vector<Symbol> symbols_of(const SymbolCase& c) {
  const Grammars& g = all_grammars();
  const std::string ext = c.ext, id = std::string("f") + c.ext;
  if (ext == ".py") return extract_symbols_py_ast(c.src, id, g);
  if (ext == ".go") return extract_symbols_go_ast(c.src, id, g);
  return extract_symbols_ts_ast(c.src, id, ext, g);
}

TEST(Extract, SymbolsFollowTheTreeRules) {
  const SymbolCase cases[] = {
      {".ts",
       "export default function () {}\n"           // no name: nothing
       "export default function Page() {}\n"
       "export const useCart = () => {}\n"
       "const helper = () => {}\n"
       "const x = 5, f = function () {}\n"          // a function expression is not an arrow function
       "class Cart {\n  #secret() {}\n  render() {}\n}\n"
       "function Page() {}\n"                       // the first declaration of a name wins
       "export async function GET() {}\n"
       "function* gen() {}\n"
       "export interface Props { a: number }\n"
       "type Alias = string\n"
       "export enum Color { Red }\n"
       "export default class { m() {} }\n",
       {"Page use_case/medium exported 1-1", "useCart hook/high exported 2-2", "helper utility/medium 3-3",
        "Cart model/high 5-8", "render use_case/medium 7-7", "GET api_route/high exported 10-10",
        "gen utility/medium 11-11", "Props model/high exported 12-12", "Alias model/high 13-13",
        "Color model/high exported 14-14", "m use_case/medium 15-15"}},
      {".tsx", "export function Button() { return <div>{x}</div> }\nconst useThing = async () => {}\n",
       {"Button use_case/medium exported 0-0", "useThing hook/high 1-1"}},
      {".js", "function helper() {}\nmodule.exports = { helper }\nexport let POST = async () => {}\n",
       {"helper utility/medium 0-0", "POST api_route/high exported 2-2"}},
      // Rows of a decorated function start at its decorator; any function within
      // three rows of a route decorator (above or below) is a route; methods count;
      // private names, test functions and a decorated class's decorator level do not.
      {".py",
       "import os\n\n@router.post('/items')\nasync def create_item():\n    pass\ndef near():\n    pass\n\n"
       "def _private():\n    pass\n\nclass Item:\n    def __init__(self):\n        pass\n    def render(self):\n"
       "        pass\n\ndef test_login():\n    pass\n\n@dataclass\nclass _Hidden:\n    pass\n\n@decorator\n"
       "class Shown:\n    pass\ndef above(): pass\n\n@APP.GET('/x')\ndef listed(): pass\n",
       {"create_item api_route/high exported 2-4", "near api_route/high exported 5-6", "Item model/high exported 11-15",
        "render use_case/high exported 14-15", "Shown model/high exported 25-26", "above api_route/high exported 27-27",
        "listed api_route/high exported 29-30"}},
      {".go",
       "package main\n\nfunc helper() {}\nfunc (s *Server) Run() {}\ntype store struct{}\ntype Store interface{ Get() }\n"
       "type (\n\tUser struct{}\n\tlower int\n\tRepo interface{}\n)\ntype Alias = User\nfunc Run() {}\n",
       {"helper use_case/high 2-2", "Run use_case/high exported 3-3", "Store use_case/high exported 5-5",
        "User model/high exported 6-10", "Repo use_case/high exported 6-10"}},
  };
  for (const auto& c : cases) EXPECT_EQ(brief(symbols_of(c)), c.expected) << c.ext;

  // A record's id, fingerprint and keywords are the regex scanner's, over the node's rows.
  std::vector<Symbol> route = extract_symbols_py_ast(cases[3].src, "api/items.py", all_grammars());
  ASSERT_FALSE(route.empty());
  EXPECT_EQ(route[0].id, "api/items.py::create_item");
  EXPECT_EQ(route[0].body_hash, "f9c8e2e7");
  EXPECT_EQ(route[0].keywords, (Strings{"create_item", "create", "item"}));
}

TEST(Extract, ImportsFollowTheTreeRules) {
  const Grammars& g = all_grammars();
  EXPECT_EQ(brief(extract_imports_ts_ast("import a, {b as c} from './m'\nimport './side'\n"
                                         "import type { T } from \"types\"\nconst r = require(`x`)\n"
                                         "require('./x'); require(\"y\", 'z')\nconst {q} = require(name)\n"
                                         "await import('./lazy')\n",
                                         "f.ts", ".ts", g)),
            (Strings{"imports ./m", "imports ./side", "imports types", "requires ./x", "requires y", "requires z"}));
  EXPECT_EQ(brief(extract_imports_py_ast("import x, y as z\nimport a.b.c\nfrom ..pkg import a\nfrom . import b\n"
                                         "from __future__ import annotations\nimport   p   as   q\n"
                                         "def f():\n    import inner\n",
                                         "f.py", g)),
            (Strings{"imports x", "imports y", "imports a.b.c", "imports ..pkg", "imports .", "imports p",
                     "imports inner"}));
  EXPECT_EQ(brief(extract_imports_go_ast("package m\nimport \"fmt\"\nimport (\n\t\"os\"\n\tf \"strings\"\n\t_ `raw`\n)\n",
                                         "f.go", g)),
            (Strings{"imports fmt", "imports os", "imports strings"}));
}

TEST(Extract, BrokenAndDeepTextsGiveWhatTheRulesFind) {
  const Grammars& g = all_grammars();
  const std::string n(10000, '('), close(10000, ')');
  // Nesting far past any call stack's depth; the walk keeps its own.
  EXPECT_EQ(brief(extract_symbols_ts_ast("x = " + n + "1" + close + ";\nfunction after() {}\n", "f.js", ".js", g)),
            (Strings{"after utility/medium 1-1"}));
  EXPECT_EQ(brief(extract_symbols_ts_ast(std::string(10000, '{') + "function inner() {}" + std::string(10000, '}'),
                                         "f.ts", ".ts", g)),
            (Strings{"inner utility/medium 0-0"}));
  EXPECT_EQ(brief(extract_symbols_py_ast("x = " + std::string(10000, '[') + std::string(10000, ']') +
                                         "\ndef after(): pass\n", "f.py", g)),
            (Strings{"after use_case/high exported 1-1"}));
  EXPECT_TRUE(extract_symbols_ts_ast(n, "f.ts", ".ts", g).empty());
  // Declarations the parser could not make out are not reported; the rest is.
  EXPECT_EQ(brief(extract_symbols_py_ast("def (:\n  class\nimport\ndef fine(): pass\n", "f.py", g)),
            (Strings{"fine use_case/high exported 3-3"}));
  EXPECT_TRUE(extract_symbols_ts_ast("export function ok( {\n  class {\n", "f.ts", ".ts", g).empty());
  // Byte offsets are those of the UTF-8 text: names after wide characters come out whole.
  EXPECT_EQ(brief(extract_symbols_py_ast("s = '\xe2\x9c\x93\xf0\x9f\x98\x80'\ndef caf\xc3\xa9(): pass\n", "f.py", g)),
            (Strings{"caf\xc3\xa9 use_case/high exported 1-1"}));
}

// Python walks skip what can hold no definition or import, and nothing else.
TEST(Extract, PythonWalksSkipOnlyWhatHoldsNoStatement) {
  const Language& py = all_grammars().py;
  auto opaque = [&](std::string_view type) {
    return py.opaque(ts_language_symbol_for_name(py.ts, type.data(), static_cast<uint32_t>(type.size()), true));
  };
  for (const char* type : {"call", "lambda", "string", "subscript", "parameters", "argument_list", "decorator",
                           "expression_statement", "return_statement", "import_statement", "import_from_statement"})
    EXPECT_TRUE(opaque(type)) << type;
  for (const char* type : {"module", "block", "function_definition", "class_definition", "decorated_definition",
                           "if_statement", "with_statement", "try_statement", "match_statement", "case_clause"})
    EXPECT_FALSE(opaque(type)) << type;
}

TEST(Extract, ClassifiesScriptNames) {
  const std::tuple<const char*, bool, const char*, const char*> cases[] = {
      {"POST", false, "api_route", "high"},  {"useAuth", false, "hook", "high"}, {"user", true, "use_case", "high"},
      {"use", true, "use_case", "high"},     {"Button", true, "use_case", "medium"},
      {"helper", false, "utility", "medium"}, {"useR", true, "hook", "high"},
  };
  for (const auto& [name, exported, type, confidence] : cases)
    EXPECT_EQ(classify_ts_name(name, exported), std::make_pair(std::string(type), std::string(confidence))) << name;
}

}  // namespace
}  // namespace kestrune::treescan
