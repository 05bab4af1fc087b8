"""kestrune.treescan as a Python host sees it."""
import contextlib
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

from kestrune import treescan

PKG = pathlib.Path(treescan.__file__).resolve().parent
GRAMMARS = PKG / "grammars"
SRC = str(PKG.parent)


def write(root, rel, text):
    p = pathlib.Path(root, rel)
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_text(text)
    return p


class NamesTest(unittest.TestCase):
    def test_every_bound_name(self):
        for name in ["extract_symbols_ts_ast", "extract_symbols_py_ast", "extract_symbols_go_ast",
                     "extract_imports_ts_ast", "extract_imports_py_ast", "extract_imports_go_ast", "_classify_ts_name",
                     "_extract_symbols", "_extract_imports", "_parse_relations_regex", "_structural_peer_edges",
                     "walk_files", "should_scan", "rel", "extract_keywords", "_make_summary", "_name_keywords",
                     "_split_camel", "scan", "compare", "main", "Node", "dedupe_edges", "_append_symbol_nodes"]:
            self.assertTrue(callable(getattr(treescan, name)), name)
        self.assertIs(treescan._AST_AVAILABLE, True)
        self.assertEqual(len(treescan.SKIP_DIRS), 14)
        self.assertNotIn("out", treescan.SKIP_DIRS)
        self.assertEqual(treescan.SYMBOL_EXTS, {".ts", ".tsx", ".js", ".jsx", ".py", ".php", ".go"})
        self.assertEqual(len(treescan._PEER_PAIRS), 22)
        self.assertTrue(treescan._PEER_PAIRS[21][1].search("DEPENDENCIES"))

    def test_wrong_types_name_the_argument(self):
        for call, arg in [(lambda: treescan.extract_symbols_ts_ast(b"x", "a.ts", ".ts"), "content"),
                          (lambda: treescan.extract_imports_go_ast("x", None), "file_path"),
                          (lambda: treescan._structural_peer_edges(("a",)), "file_ids"),
                          (lambda: treescan.scan(".", existing_nodes=[]), "existing_nodes"),
                          (lambda: treescan._classify_ts_name("x", 1), "exported"),
                          (lambda: treescan.extract_keywords("x", None), "ext")]:
            with self.assertRaises(TypeError) as cm:
                call()
            self.assertIn(arg, str(cm.exception))


class ExtractionTest(unittest.TestCase):
    def test_records_and_fallback_dispatch(self):
        syms = treescan.extract_symbols_ts_ast("export const useCart = () => {}\n", "hooks/useCart.ts", ".ts")
        self.assertEqual(syms, [{"id": "hooks/useCart.ts::useCart", "name": "useCart", "symbol_type": "hook",
                                 "line_start": 0, "line_end": 0, "body_hash": "7c07a2aa", "confidence": "high",
                                 "exported": True, "keywords": ["usecart", "use", "cart"]}])
        # Markdown has no grammar: the import patterns run on it, whatever it says.
        self.assertEqual(treescan._extract_imports("import os\n", "a.md", ".md", "."),
                         [{"from": "a.md", "to": "os", "rel": "imports"}])
        self.assertEqual(treescan._extract_symbols("def f(): pass", "a.php", ".php"), [])
        self.assertEqual(treescan.extract_keywords("func helper() {}\ntype store struct{}\n", ".go"),
                         ["helper", "store"])


class ScanTest(unittest.TestCase):
    def test_record_layout_and_root_as_given(self):
        with tempfile.TemporaryDirectory() as d:
            write(d, "api/routes.ts", "import x from './x'\n")
            write(d, "api/middleware.ts", "")
            g = treescan.scan(pathlib.Path(d))
            self.assertEqual(list(g), ["root", "node_count", "edge_count", "file_count", "symbol_count", "nodes",
                                       "edges", "ast_mode"])
            self.assertEqual(g["root"], d)
            self.assertIs(g["ast_mode"], True)
            self.assertEqual(sorted(e["rel"] for e in g["edges"]), ["imports", "structural_peer", "structural_peer"])
            with self.assertRaises(NotADirectoryError) as cm:
                treescan.scan(pathlib.Path(d, "missing"))
            self.assertEqual(cm.exception.filename, str(pathlib.Path(d, "missing")))

    def test_main_writes_both_files_and_reports(self):
        with tempfile.TemporaryDirectory() as d:
            write(d, "p/a.py", "def run():\n    pass\n")
            out = pathlib.Path(d, "o", "info_graph.json")
            r = subprocess.run([sys.executable, "-c", "from kestrune import treescan; treescan.main()",
                                "--root", str(pathlib.Path(d, "p")), "--out", str(out)],
                               capture_output=True, text=True, env={**os.environ, "PYTHONPATH": SRC})
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, f"[AST] 1 files, 1 symbols, 1 edges\nWrote: {out}\n"
                                       f"Symbol index: {out.parent / 'symbol_index.json'} (1 symbols)\n")
            self.assertIs(json.loads(out.read_text())["ast_mode"], True)
            with self.assertRaises(SystemExit) as cm:
                with contextlib.redirect_stderr(io.StringIO()):
                    treescan.main(["--bogus"])
            self.assertEqual(cm.exception.code, 2)

    def test_compare_prints_through_sys_stdout(self):
        with tempfile.TemporaryDirectory() as d:
            write(d, "shop/a.ts", "export function A() {}\n")
            buf = io.StringIO()
            with contextlib.redirect_stdout(buf):
                treescan.compare(pathlib.Path(d, "shop"), pathlib.Path(d, "g.json"), pathlib.Path(d, "r.json"))
            self.assertIn("  Comparing AST vs Regex on: shop\n", buf.getvalue())
            self.assertIn("  Symbols found ONLY by AST (0 total): []\n", buf.getvalue())
            self.assertTrue(buf.getvalue().endswith(f"  Regex graph: {d}/r.json\n\n"))
            # A graph that cannot be written fails as the file operation did.
            with self.assertRaises(FileNotFoundError) as cm, contextlib.redirect_stdout(io.StringIO()):
                treescan.compare(pathlib.Path(d, "shop"), pathlib.Path(d, "no", "g.json"), pathlib.Path(d, "r.json"))
            self.assertEqual(cm.exception.filename, str(pathlib.Path(d, "no", "g.json")))


class GrammarSituationsTest(unittest.TestCase):
    """What importing the module says and offers with some grammars absent."""

    def situation(self, present):
        with tempfile.TemporaryDirectory() as g:
            for name in present:
                os.symlink(GRAMMARS / f"{name}.so", pathlib.Path(g, f"{name}.so"))
            code = ("from kestrune import treescan as t\n"
                    "print(t._AST_AVAILABLE, t._GO_AVAILABLE,\n"
                    "      [s['name'] for s in t._extract_symbols('def f():\\n    pass\\n', 'a.py', '.py')],\n"
                    "      [s['name'] for s in t._extract_symbols('package a\\nfunc G() {}\\n', 'a.go', '.go')],\n"
                    "      [s['name'] for s in t._extract_symbols('class K {\\n m() {}\\n}\\n', 'a.ts', '.ts')])\n")
            r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                               env={**os.environ, "PYTHONPATH": SRC, "KESTRUNE_GRAMMARS": g})
            return r.stdout.replace(g, "<dir>")

    def test_three_situations(self):
        self.assertEqual(self.situation(["typescript", "tsx", "javascript", "python", "go"]),
                         "True True ['f'] ['G'] ['K', 'm']\n")
        self.assertEqual(self.situation(["typescript", "tsx", "javascript", "python"]),
                         "True False ['f'] [] ['K', 'm']\n")
        # The regex scanner's extractors then: no methods, no Go.
        self.assertEqual(self.situation(["typescript", "tsx", "javascript", "go"]),
                         "[warn] tree-sitter not available, falling back to regex: <dir>/python.so: cannot open "
                         "shared object file: No such file or directory\nFalse False ['f'] [] ['K']\n")

    def test_empty_variable_names_no_folder(self):
        # Not the working directory: nothing is loaded from wherever the user stands.
        with tempfile.TemporaryDirectory() as cwd:
            r = subprocess.run([sys.executable, "-c", "from kestrune import treescan as t; print(t._AST_AVAILABLE)"],
                               cwd=cwd, capture_output=True, text=True,
                               env={**os.environ, "PYTHONPATH": SRC, "KESTRUNE_GRAMMARS": ""})
            self.assertEqual(r.stdout, "True\n")


if __name__ == "__main__":
    unittest.main()
