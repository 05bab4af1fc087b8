"""kestrune.ctxpack: the token estimate, written summaries, and the packed context."""
import json
import pathlib
import tempfile
import types
import unittest

from kestrune import ctxpack


def file_node(fid, summary=""):
    return {"id": fid, "kind": "file", "path": fid, "ext": pathlib.PurePath(fid).suffix,
            "keywords": [], "summary": summary}


def symbol_node(fid, name, start, end):
    return {"id": f"{fid}::{name}", "kind": "symbol", "path": fid, "ext": pathlib.PurePath(fid).suffix,
            "keywords": [name.lower()], "symbol_type": "use_case", "name": name,
            "line_start": start, "line_end": end}


class EstimateAndSummaries(unittest.TestCase):
    def test_estimate_tokens(self):
        self.assertEqual(ctxpack.estimate_tokens(""), 0)
        self.assertEqual(ctxpack.estimate_tokens("abcde"), 2)
        self.assertEqual(ctxpack.estimate_tokens("\u00e9" * 8), 2)
        with self.assertRaisesRegex(TypeError, "text"):
            ctxpack.estimate_tokens(b"abc")

    def test_load_summaries(self):
        with tempfile.TemporaryDirectory() as d:
            root = pathlib.Path(d)
            self.assertEqual(ctxpack.load_summaries(root), {})
            (root / ".braid").mkdir()
            (root / ".braid" / "summaries.json").write_text(
                json.dumps({"b.py": "B", "a.ts": "A", "n": None}), encoding="utf-8")
            self.assertEqual(ctxpack.load_summaries(str(root)), {"a.ts": "A", "b.py": "B"})
            (root / ".braid" / "summaries.json").write_text("[]", encoding="utf-8")
            with self.assertRaises(ValueError):
                ctxpack.load_summaries(root)


class Pack(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, rel, text):
        p = self.root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text, encoding="utf-8")

    def test_files_summaries_outline_excerpt_and_relations(self):
        self.write("svc/pay.py", "import stripe\n\n\ndef charge(order):\n    return stripe.charge(order)\n")
        graph = {"nodes": [file_node("svc/pay.py", "Payments"), symbol_node("svc/pay.py", "charge", 3, 4),
                           file_node("gone.py", "Deleted")],
                 "edges": [{"from": "svc/pay.py", "to": "stripe", "rel": "imports"}]}
        files = [dict(graph["nodes"][1], _score=9), graph["nodes"][2]]
        # br's RetrieveResult, a mapping and a pair are all accepted.
        for result in (types.SimpleNamespace(files=files, edges=graph["edges"]),
                       {"files": files, "edges": graph["edges"]}, (files, graph["edges"])):
            out = ctxpack.pack(retrieve_result=result, summaries={"svc/pay.py": "Charges cards."},
                               graph=graph, project_root=self.root, token_budget=1000, max_files=8,
                               query="how do we charge an order")
            self.assertIn("## svc/pay.py\nCharges cards.\nSymbols:\n- `charge` use_case, lines 4-5 (best match)\n",
                          out)
            self.assertIn("```python\n1| import stripe\n", out)
            self.assertIn("4| def charge(order):\n", out)
            self.assertNotIn("gone.py", out)  # cannot be read
            self.assertTrue(out.endswith("## Relations\n- svc/pay.py imports stripe"))

    def test_a_name_that_is_not_utf8(self):
        fid = "d\udcc3(/x\udcff.py"  # as os.fsdecode gives it
        self.write(fid, "def odd():\n    pass\n")
        graph = {"nodes": [file_node(fid)], "edges": []}
        out = ctxpack.pack({"files": graph["nodes"], "edges": []}, {fid: "Odd one."}, graph, self.root, 1000, 8, "odd")
        self.assertIn(f"## {fid}\nOdd one.\n", out)
        self.assertIn("1| def odd():\n", out)

    def test_budget_is_never_exceeded_on_a_large_project(self):
        nodes, files, edges = [], [], []
        for f in range(30):
            fid = f"pkg{f}/orders_{f}.ts"
            self.write(fid, "".join(f"export function order{l}(cart) {{ return total(cart) * {l} }}\n"
                                    for l in range(300)))
            nodes.append(file_node(fid, f"Orders {f}"))
            nodes += [symbol_node(fid, f"order{s}", s, s) for s in range(0, 300, 10)]
            files.append(nodes[-3])
            edges.append({"from": fid, "to": "../lib/total", "rel": "imports"})
        graph = {"nodes": nodes, "edges": edges}
        result = {"files": files, "edges": edges}
        for budget in (1, 50, 200, 999, 5000, 30000):
            out = ctxpack.pack(result, None, graph, str(self.root), budget, 8, "order total")
            self.assertLessEqual(ctxpack.estimate_tokens(out), budget)
            self.assertEqual(out, ctxpack.pack(result, None, graph, str(self.root), budget, 8, "order total"))
        self.assertEqual(out.count("\n## pkg"), 8)

    def test_argument_types(self):
        with self.assertRaisesRegex(TypeError, "token_budget"):
            ctxpack.pack({"files": [], "edges": []}, {}, {}, ".", "5", 8)
        with self.assertRaisesRegex(TypeError, "graph"):
            ctxpack.pack({"files": [], "edges": []}, {}, [], ".", 5, 8)
        with self.assertRaisesRegex(TypeError, "retrieve_result"):
            ctxpack.pack(42, {}, {}, ".", 5, 8)


if __name__ == "__main__":
    unittest.main()
