"""kestrune.lexscan as a Python host sees it."""
import contextlib
import io
import json
import os
import pathlib
import tempfile
import unittest

from kestrune import lexscan


class NamesTest(unittest.TestCase):
    def test_constants(self):
        self.assertIsInstance(lexscan.SKIP_DIRS, set)
        self.assertEqual(len(lexscan.SKIP_DIRS), 25)
        self.assertIn("node_modules", lexscan.SKIP_DIRS)
        self.assertEqual(lexscan.SYMBOL_EXTS, {".ts", ".tsx", ".js", ".jsx", ".py", ".php", ".cs"})
        self.assertEqual((lexscan.MAX_FILE_BYTES, lexscan.MAX_CONTENT_CHARS), (300000, 24000))

    def test_every_bound_name(self):
        for name in ["Node", "_append_symbol_nodes", "dedupe_edges", "should_scan", "walk_files", "rel", "scan",
                     "extract_symbols_ts", "extract_symbols_py", "extract_symbols_php", "extract_symbols_cs",
                     "_extract_symbols_for_file", "parse_relations", "_classify_ts", "_find_block_end_ts",
                     "_find_block_end_py", "_body_hash", "_split_camel", "_name_keywords", "extract_keywords",
                     "_make_summary", "main"]:
            self.assertTrue(callable(getattr(lexscan, name)), name)

    def test_every_function_of_the_package_has_a_signature_and_a_one_line_doc(self):
        import importlib
        import inspect
        for name in ("lexscan", "treescan", "br", "brc_claude", "ctxpack", "audit", "edit_guard"):
            module = importlib.import_module(f"kestrune.{name}")
            functions = [f for f in vars(module).values() if inspect.isbuiltin(f)]
            functions += [lexscan.Node.__init__, lexscan.Node.as_dict] if name == "lexscan" else []
            self.assertTrue(functions, name)
            for f in functions:
                with self.subTest(f"{name}.{f.__name__}"):
                    self.assertNotRegex(str(inspect.signature(f)), r"object|handle|:")
                    self.assertRegex(f.__doc__, r"\A[^\n]+\Z")
        self.assertEqual(str(inspect.signature(lexscan.scan)), "(root, existing_nodes=None)")
        self.assertEqual(str(inspect.signature(lexscan.Node))[:24], "(id, kind, path, ext, si")


class NodeTest(unittest.TestCase):
    def test_positional_keyword_and_defaults(self):
        a = lexscan.Node("a.ts", "file", "a.ts", ".ts", 3, ["alpha"], "x", "S.", "deadbeef")
        b = lexscan.Node(id="a.ts", kind="file", path="a.ts", ext=".ts", size=3, keywords=["alpha"], content="x",
                         summary="S.", file_hash="deadbeef")
        self.assertEqual(a, b)
        self.assertEqual((a.line_start, a.exported, a.name), (0, False, ""))
        self.assertEqual(list(a.as_dict()), ["id", "kind", "path", "ext", "size", "keywords", "content", "summary",
                                             "file_hash"])
        s = lexscan.Node("a.ts::f", "symbol", "a.ts", ".ts", 1, [], line_start=2, line_end=2, exported=True)
        self.assertEqual(list(s.as_dict()), ["id", "kind", "path", "ext", "size", "keywords", "symbol_type", "name",
                                             "line_start", "line_end", "body_hash", "confidence", "exported"])
        self.assertIs(s.as_dict()["exported"], True)

    def test_wrong_types_name_the_argument(self):
        for kwargs, arg in [({"size": "3"}, "size"), ({"keywords": "abc"}, "keywords"), ({"id": 1}, "id"),
                            ({"exported": 1}, "exported")]:
            base = dict(id="a", kind="file", path="a", ext="", size=0, keywords=[])
            base.update(kwargs)
            with self.assertRaises(TypeError) as cm:
                lexscan.Node(**base)
            self.assertIn(arg, str(cm.exception))
        with self.assertRaises(TypeError):
            lexscan.Node("a", "file")


class GraphHelpersTest(unittest.TestCase):
    def test_append_and_dedupe(self):
        nodes, edges = [], []
        syms = lexscan.extract_symbols_ts("export function useAuth() {\n}\n", "a.ts")
        lexscan._append_symbol_nodes(nodes, edges, syms, "a.ts", ".ts")
        self.assertEqual(nodes[0].size, 2)
        self.assertEqual(nodes[0].symbol_type, "hook")
        self.assertEqual(edges, [{"from": "a.ts", "to": "a.ts::useAuth", "rel": "contains"}])
        with self.assertRaises(TypeError) as cm:
            lexscan._append_symbol_nodes(nodes, (), syms, "a.ts", ".ts")
        self.assertIn("edges", str(cm.exception))
        with self.assertRaises(KeyError):
            lexscan._append_symbol_nodes(nodes, edges, [{"id": "x"}], "a.ts", ".ts")
        e = {"from": "a", "to": "b", "rel": "imports"}
        self.assertEqual(lexscan.dedupe_edges([e, dict(e), {**e, "rel": "requires"}]),
                         [e, {**e, "rel": "requires"}])


class ExtractionTest(unittest.TestCase):
    def test_functions(self):
        self.assertEqual(lexscan._classify_ts("GET", False), ("api_route", "high"))
        self.assertEqual(lexscan._split_camel("getHTTPResponse"), ["get", "http", "response"])
        self.assertEqual(lexscan._name_keywords("__init__"), ["init"])
        self.assertEqual(lexscan._find_block_end_ts(["f() {", "}"], 0), 1)
        self.assertEqual(lexscan._find_block_end_py(["def f():", "  x", "def g():"], 0), 1)
        self.assertEqual(lexscan._body_hash(["a", "b", "c"], 0, 1), "8cdeb444")
        self.assertEqual(lexscan._make_summary("", "src/index", ".ts"), "Handles index.")
        self.assertEqual(lexscan.extract_keywords("func ServeHTTP() {}\n", ".go"), ["servehttp", "serve", "http"])
        rec = lexscan._extract_symbols_for_file("class A:\n    pass\n", "m.py", ".py")[0]
        self.assertEqual(list(rec), ["id", "name", "symbol_type", "line_start", "line_end", "body_hash", "confidence",
                                     "exported", "keywords"])
        self.assertEqual(lexscan.extract_symbols_cs("public class If {}", "a.cs")[0]["name"], "If")
        self.assertEqual(lexscan.extract_symbols_php("<?php\nclass P {}", "a.php")[0]["name"], "P")

    def test_type_errors_name_the_argument(self):
        for call, arg in [(lambda: lexscan._extract_symbols_for_file(1, "a", ".py"), "content"),
                          (lambda: lexscan._extract_symbols_for_file("", None, ".py"), "file_id"),
                          (lambda: lexscan._find_block_end_ts("abc", 0), "lines"),
                          (lambda: lexscan.extract_keywords("", None), "ext"),
                          (lambda: lexscan._make_summary("", 3, ".py"), "path"),
                          (lambda: lexscan.scan(".", existing_nodes=[]), "existing_nodes")]:
            with self.assertRaises(TypeError) as cm:
                call()
            self.assertIn(arg, str(cm.exception))


class ScanTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.tmp.name)
        (self.root / "src").mkdir()
        (self.root / "src" / "a.ts").write_text("import { b } from './b';\nexport function useA() {\n}\n")
        (self.root / "README.md").write_text("# Project notes for tests\n")

    def tearDown(self):
        self.tmp.cleanup()

    def test_walk_rel_and_scan(self):
        files = lexscan.walk_files(self.root)
        self.assertEqual(sorted(lexscan.rel(p, self.root) for p in files), ["README.md", "src/a.ts"])
        self.assertTrue(lexscan.should_scan("x/README.MD"))
        self.assertEqual(lexscan.parse_relations(str(self.root / "src" / "a.ts"), "import x from 'y'", str(self.root)),
                         [{"from": "src/a.ts", "to": "y", "rel": "imports"}, {"from": "src/a.ts", "to": "x",
                                                                               "rel": "imports"}])
        g = lexscan.scan(self.root)
        self.assertEqual(list(g), ["root", "node_count", "edge_count", "file_count", "symbol_count", "nodes", "edges"])
        self.assertEqual(g["root"], str(self.root))
        self.assertEqual((g["file_count"], g["symbol_count"]), (2, 1))
        reuse = {n["id"]: dict(n, summary="Kept.") for n in g["nodes"] if n["kind"] == "file"}
        again = lexscan.scan(str(self.root), existing_nodes=reuse)
        self.assertEqual({n["summary"] for n in again["nodes"] if n["kind"] == "file"}, {"Kept."})
        for root in ("missing", self.root / "README.md"):
            with self.assertRaises(NotADirectoryError) as cm:
                lexscan.scan(root)
            self.assertEqual((cm.exception.strerror, cm.exception.filename),
                             ("project root is not a directory", str(root)))

    def test_names_that_are_not_utf8(self):
        # Python holds them as os.fsdecode gives them; they cross both ways as such.
        (self.root / "x\udcff.md").write_text("# odd\n")
        (self.root / "d\udcc3(").mkdir()
        (self.root / "d\udcc3(" / "s\udce9.ts").write_text("export function useOdd() {\n}\n")
        want = [os.path.join(d, f) for d, _, names in os.walk(self.root) for f in names]
        self.assertEqual(sorted(lexscan.walk_files(self.root)), sorted(want))
        self.assertEqual(lexscan.rel(str(self.root / "x\udcff.md"), self.root), "x\udcff.md")
        ids = {n["id"] for n in lexscan.scan(self.root)["nodes"]}
        self.assertLessEqual({"x\udcff.md", "d\udcc3(/s\udce9.ts", "d\udcc3(/s\udce9.ts::useOdd"}, ids)
        node = lexscan.Node("x\udcff.md", "file", "x\udcff.md", ".md", 0, ["k\udcfe"])
        self.assertEqual((node.id, node.as_dict()["keywords"]), ("x\udcff.md", ["k\udcfe"]))
        self.assertTrue(repr(node).startswith("Node(id='x\\udcff.md', "))
        out = self.root / "o\udcff" / "g.json"
        with contextlib.redirect_stdout(io.StringIO()):
            lexscan.main(["--root", str(self.root), "--out", str(out)])
        text = out.read_text()
        self.assertEqual(text, json.dumps(json.loads(text), indent=2))
        self.assertLessEqual({"x\udcff.md", "d\udcc3(/s\udce9.ts"}, {n["id"] for n in json.loads(text)["nodes"]})

    def test_main(self):
        out = self.root / "o" / "g.json"
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            lexscan.main(["--root", str(self.root), "--out", str(out)])
        graph = json.loads(out.read_text())
        self.assertEqual(graph["root"], os.path.realpath(self.root))
        self.assertEqual(json.loads((out.parent / "symbol_index.json").read_text())["src/a.ts::useA"]["line_end"], 2)
        with self.assertRaises(SystemExit) as cm:
            lexscan.main(["--bogus"])
        self.assertEqual(cm.exception.code, 2)


if __name__ == "__main__":
    unittest.main()
