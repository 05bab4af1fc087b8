"""kestrune.br from Python, and the br command run from a package of its own."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from kestrune import br

BIN = Path(os.environ.get("KESTRUNE_BIN_DIR", Path(br.__file__).parent / "bin")) / "br"


class QueryAndScoring(unittest.TestCase):
    def test_query_functions(self):
        self.assertEqual(br.extract_route("Fix GET /api/users/:userId/orders?x=1"),
                         ("GET", ["users", "userid", "orders"]))
        self.assertEqual(br.tokenize_query("Fix the login API crash"), ["login", "crash"])
        self.assertEqual(br.classify_intent("Show the latest orders"), "test")
        self.assertEqual(br.node_role("src/components/ui/button.tsx", ".tsx"), "shared_ui")
        self.assertEqual(br.intent_role_weight("unknown", "logic"), 2)
        self.assertEqual(br.score_text("Order ORDER", ["order", "x"]), 1)
        self.assertTrue(br.query_scoped_to_feature("admin screen"))
        with self.assertRaises(TypeError):
            br.tokenize_query(None)
        with self.assertRaises(TypeError):
            br.score_node([], [], "q")

    def test_worked_example(self):
        q = "GET /api/orders returns 500"
        terms = br.tokenize_query(q)
        node = {"id": "src/api/orders.ts", "kind": "file", "ext": ".ts",
                "keywords": ["orders", "order", "route"], "summary": "Order API routes"}
        self.assertEqual(br.score_node(node, terms, q), 19)
        sym = {"id": "src/api/orders.ts::listOrders", "kind": "symbol", "ext": ".ts",
               "keywords": ["list", "orders"], "confidence": "high"}
        self.assertEqual(br.score_node(sym, terms, q), 24)
        self.assertEqual(br.score_node({"id": "docs/orders.md", "ext": ".md", "keywords": ["orders"]}, terms, q), 2)

    def test_capability_index(self):
        with tempfile.TemporaryDirectory() as d:
            p = Path(d) / "functionality_index.md"
            p.write_text("## Orders\nKeywords: Orders, Checkout ,\n- `src/api/orders.ts`\n- src/api/\n## Empty\n")
            caps = br.load_capability_index(p)
            self.assertEqual(caps, [br.CapabilityEntry("Orders", ["orders", "checkout"], ["src/api/orders.ts"])])
            self.assertEqual(caps[0].files, ["src/api/orders.ts"])
            self.assertEqual(br.capability_file_boosts(["orders", "checkout"], caps), {"src/api/orders.ts": 8})
            self.assertEqual(br.capability_file_boosts(["checkout"], caps), {"src/api/orders.ts": 6})
        self.assertEqual(br.load_capability_index(Path("/nonexistent/x.md")), [])

    def test_retrieve_returns_records_of_the_graph(self):
        edge = {"from": "a.py", "to": "os", "rel": "imports"}
        graph = {"nodes": [{"id": "a.py", "kind": "file", "ext": ".py", "content": "x", "keywords": []}],
                 "edges": [edge]}
        r = br.retrieve(graph, "a", 5, 5)
        self.assertIsInstance(r, br.RetrieveResult)
        self.assertEqual(list(r.files[0]), ["id", "kind", "ext", "keywords", "_score", "_role", "_intent"])
        self.assertIs(r.edges[0], edge)
        self.assertEqual(br.retrieve({}, "a", 5, 5), br.RetrieveResult([], []))
        with self.assertRaises(TypeError):
            br.retrieve(graph, "a", "5", 5)

    def test_retrieve_with_the_relevance_ranker(self):
        graph = {"nodes": [{"id": "lib/retry.py", "kind": "file", "ext": ".py", "keywords": [],
                            "content": "def backoff(attempt):\n    return 2 ** attempt"},
                           {"id": "lib/other.py", "kind": "file", "ext": ".py", "keywords": [], "content": "x = 1"}],
                 "edges": [{"from": "lib/retry.py", "to": "math", "rel": "imports"}]}
        r = br.retrieve(graph, "how long is the backoff between attempts", 5, 5, ranker="relevance")
        self.assertEqual([f["id"] for f in r.files], ["lib/retry.py"])
        self.assertEqual(list(r.files[0])[-3:], ["_score", "_role", "_intent"])
        self.assertIs(r.edges[0], graph["edges"][0])
        self.assertEqual(br.retrieve(graph, "backoff", 5, 5), br.retrieve(graph, "backoff", 5, 5, "heuristic"))
        with self.assertRaises(ValueError):
            br.retrieve(graph, "backoff", 5, 5, ranker="bm25")

    def test_constants(self):
        self.assertEqual(br.DATA_DIR, br.BASE_DIR / "data")
        self.assertEqual(br.GRAPH_JSON, br.DATA_DIR / "info_graph.json")
        self.assertEqual(br.BASE_DIR, Path(br.__file__).resolve().parent)


class Command(unittest.TestCase):
    """br copied into a package of its own, so its data/ directory is private to the test."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        (self.tmp / "pkg" / "bin").mkdir(parents=True)
        self.br = self.tmp / "pkg" / "bin" / "br"
        shutil.copy(BIN, self.br)
        self.data = self.tmp / "pkg" / "data"
        self.env = {k: v for k, v in os.environ.items() if k not in ("BR_QUERY", "BRAID_PROJECT_ROOT")}
        self.env["BR_CAPABILITY_INDEX"] = str(self.tmp / "none.md")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def run_br(self, *args, env=None):
        return subprocess.run([str(self.br), *args], capture_output=True, text=True, env=env or self.env, timeout=60)

    def write_graph(self, graph):
        self.data.mkdir(exist_ok=True)
        (self.data / "info_graph.json").write_text(json.dumps(graph, indent=2))

    def test_action_log_and_prime(self):
        r = self.run_br("prime")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("- Query: General codebase maintenance task\n", r.stdout)
        self.assertTrue(r.stdout.endswith("## Action Trail (Recent 0)\n- (no actions recorded yet)\n"))
        self.assertEqual(self.run_br("action", "log", "--kind", "edit", "--summary", "").stdout, "ok\n")
        line = (self.data / "action_events.jsonl").read_text()
        event = json.loads(line)
        self.assertEqual(list(event), ["timestamp", "kind", "summary", "meta"])
        self.assertEqual((event["kind"], event["summary"], event["meta"]), ("edit", "", {}))
        self.assertRegex(event["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00$")
        self.assertEqual(line, json.dumps(event) + "\n")
        for bad, reason in (("[1,2]", "meta must be a JSON object"), ("null", "meta must be a JSON object"),
                            ("{bad", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)")):
            r = self.run_br("action", "log", "--kind", "x", "--meta", bad)
            self.assertEqual((r.returncode, r.stderr), (2, "error: invalid --meta JSON: " + reason + "\n"))
        self.assertEqual((self.data / "action_events.jsonl").read_text(), line)
        self.run_br("action", "log", "--kind", "k2", "--summary", "s\u00e9", "--meta", '{"n": 1}')
        with open(self.data / "action_events.jsonl", "a") as f:
            f.write("\nnot json\n[1]\n")
        out = self.run_br("prime", "--recent-actions", "0").stdout
        self.assertTrue(out.endswith("## Action Trail (Recent 3)\n- [edit] \n- [k2] s\u00e9\n- [unknown] \n"), out)
        out = self.run_br("prime", "--recent-actions", "-2").stdout
        self.assertTrue(out.endswith("## Action Trail (Recent 1)\n- [unknown] \n"), out)
        env = dict(self.env, BR_QUERY="")
        self.assertIn("- Query: \n", self.run_br("prime", env=env).stdout)

    def test_fifo_graph_is_unreadable_not_waited_on(self):
        self.data.mkdir()
        os.mkfifo(self.data / "info_graph.json")
        for args in (("retrieve", "--query", "orders"), ("prime",)):
            r = self.run_br(*args)
            self.assertEqual((r.returncode, r.stdout), (1, ""), args)
            self.assertEqual(r.stderr, f"br: error: Not a regular file: '{self.data / 'info_graph.json'}'\n")

    def test_stats(self):
        self.data.mkdir()
        (self.data / "token_usage.jsonl").write_text(
            '{"total_tokens": 100, "mode": "a"}\n{"total_tokens": "50"}\n\n{broken\n')
        r = self.run_br("stats")
        self.assertEqual(r.stdout, "Events: 2\nTotal tokens: 150\n- a: 100\n- unknown: 50\n")
        r = self.run_br("stats", "--json")
        self.assertEqual(r.stdout, json.dumps({"event_count": 2, "total_tokens": 150,
                                               "by_mode": {"a": 100, "unknown": 50},
                                               "recent": [{"total_tokens": 100, "mode": "a"}, {"total_tokens": "50"}]},
                                              indent=2) + "\n")
        (self.data / "token_usage.jsonl").write_text(
            '{"total_tokens": true, "mode": null}\n{"total_tokens": 2.9, "mode": 1.0}\n'
            '{"total_tokens": " -1_0 ", "mode": [1]}\n{"total_tokens": 9223372036854775807, "mode": 1.0}\n')
        self.assertEqual(self.run_br("stats").stdout,
                         "Events: 4\nTotal tokens: 9223372036854775800\n- None: 1\n- 1.0: 9223372036854775809\n- [1]: -10\n")
        (self.data / "token_usage.jsonl").write_text('{"total_tokens": "1.5"}\n')
        r = self.run_br("stats")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.splitlines()), 1)

    def test_names_and_queries_that_are_not_utf8(self):
        # Python holds them as os.fsdecode gives them: ids, the query and the
        # JSON written carry lone surrogates; standard error shows them escaped.
        root = self.tmp / "proj"
        (root / "d\udcc3(").mkdir(parents=True)
        (root / "x\udcff.md").write_text("# bad name\n")
        (root / "d\udcc3(" / "bad.py").write_text("def bad():\n    pass\n")
        run = lambda *args: subprocess.run([str(self.br), *args], capture_output=True, text=True,
                                           errors="surrogateescape", env=self.env)
        r = run("scan", "--root", str(root))
        self.assertEqual(r.returncode, 0, r.stderr)
        text = (self.data / "info_graph.json").read_text()
        graph = json.loads(text)
        self.assertEqual(text, json.dumps(graph, indent=2))
        self.assertEqual({n["id"] for n in graph["nodes"]}, {"x\udcff.md", "d\udcc3(/bad.py", "d\udcc3(/bad.py::bad"})
        r = run("retrieve", "--query", "bad\udcffq", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        out = json.loads(r.stdout)
        self.assertEqual(r.stdout, json.dumps(out, indent=2) + "\n")
        self.assertEqual(out["query"], "bad\udcffq")
        self.assertIn("d\udcc3(/bad.py::bad", [f["id"] for f in out["files"]])
        r = run("retrieve", "--query", "bad\udcffq")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("Query: bad\udcffq\n"), r.stdout)
        r = run("retrieve", "--query", "q", "--x\udcff")
        self.assertEqual((r.returncode, r.stderr.splitlines()[-1]), (2, "br: error: unrecognized arguments: --x\\udcff"))

    def test_retrieve_output(self):
        self.write_graph({"nodes": [{"id": "src/a.py", "kind": "file", "ext": ".py", "content": "c\u00e9"},
                                    {"kind": "file", "ext": ".md"}],
                          "edges": [{"from": "src/a.py", "to": "os", "rel": "imports"}, {"to": 1}]})
        r = self.run_br("retrieve", "--query", "a")
        self.assertEqual(r.stdout, "Query: a\n\nRelevant files:\n- src/a.py\n\nRelevant relations:\n"
                                   "- src/a.py --imports--> os\n")
        r = self.run_br("retrieve", "--query", "nothing", "--top-files", "-1", "--top-edges", "0")
        self.assertEqual(r.stdout, "Query: nothing\n\nRelevant files:\n- src/a.py\n\nRelevant relations:\n")
        r = self.run_br("retrieve", "--query", "zzz", "--top-files", "0", "--top-edges", "-1")
        self.assertEqual(r.stdout, "Query: zzz\n\nRelevant files:\n\nRelevant relations:\n"
                                   "- src/a.py --imports--> os\n")
        r = self.run_br("retrieve", "--query", "a", "--json", "--top-edges", "-1")
        graph_node = {"id": "src/a.py", "kind": "file", "ext": ".py", "_score": 5, "_role": "code", "_intent": "general"}
        self.assertEqual(r.stdout, json.dumps({"query": "a", "files": [graph_node],
                                               "edges": [{"from": "src/a.py", "to": "os", "rel": "imports"}]},
                                              indent=2) + "\n")
        self.write_graph({"nodes": [{"kind": "file", "ext": ".md"}], "edges": [{"to": 1}]})
        r = self.run_br("retrieve", "--query", "q")
        self.assertEqual(r.stdout, "Query: q\n\nRelevant files:\n- None\n\nRelevant relations:\n- None --None--> 1\n")

    def test_rankers(self):
        self.write_graph({"nodes": [{"id": "src/queue.py", "kind": "file", "ext": ".py", "keywords": [],
                                     "content": "def drain(): pass"},
                                    {"id": "src/drain_test.py", "kind": "file", "ext": ".py", "keywords": [],
                                     "content": "drain drain"}],
                          "edges": []})
        default = self.run_br("retrieve", "--query", "drain the queue", "--json")
        self.assertEqual(default.stdout, self.run_br("retrieve", "--query", "drain the queue", "--json",
                                                     "--ranker", "heuristic").stdout)
        r = self.run_br("retrieve", "--query", "drain the queue", "--ranker", "relevance")
        self.assertEqual(r.stdout.splitlines()[:4], ["Query: drain the queue", "", "Relevant files:", "- src/queue.py"])
        self.assertTrue((self.data / "info_graph.json.relevance").exists())
        by_env = self.run_br("prime", "--query", "drain the queue", env=dict(self.env, KESTRUNE_RANKER="relevance"))
        by_flag = self.run_br("prime", "--query", "drain the queue", "--ranker", "relevance")
        self.assertEqual(by_env.stdout, by_flag.stdout)
        bad = self.run_br("retrieve", "--query", "q", "--ranker", "bm25")
        self.assertEqual(bad.returncode, 2)
        self.assertIn("invalid choice: 'bm25'", bad.stderr)
        bad = self.run_br("retrieve", "--query", "q", env=dict(self.env, KESTRUNE_RANKER="fast"))
        self.assertEqual((bad.returncode, len(bad.stderr.splitlines())), (2, 1))

    def test_failures(self):
        self.data.mkdir()
        (self.data / "info_graph.json").write_text("{not json")
        r = self.run_br("retrieve", "--query", "q")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(len(r.stderr.splitlines()), 1)
        self.assertEqual(self.run_br().returncode, 2)
        self.assertEqual(self.run_br("retrieve", "--query", "q", "--top-files", "x").returncode, 2)
        self.assertEqual(self.run_br("retrieve", "-h").returncode, 0)

    def test_scan_and_first_load(self):
        project = self.tmp / "proj"
        (project / "src" / "api").mkdir(parents=True)
        (project / "src" / "api" / "orders.ts").write_text("export function GET() { return 1 }\n")
        env = dict(self.env, BRAID_PROJECT_ROOT=str(project))
        # No graph yet: retrieve scans the default root once and writes the graph.
        r = self.run_br("retrieve", "--query", "orders", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("- src/api/orders.ts", r.stdout)
        self.assertTrue((self.data / "info_graph.json").exists())
        r = self.run_br("scan", "--root", str(project), "--out", str(self.tmp / "g.json"), env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^Scanned: \d+ nodes, \d+ edges\nWrote: " + str(self.tmp / "g.json") + "\n$")
        r = self.run_br("scan", "--root", str(project), "--out", str(self.tmp / "missing" / "g.json"), env=env)
        self.assertEqual(r.returncode, 1)

    def test_refresh_rescans_the_project_first(self):
        project = self.tmp / "proj"
        (project / "src").mkdir(parents=True)
        (project / "src" / "orders.ts").write_text("export function listOrders() { return [] }\n")
        env = dict(self.env, BRAID_PROJECT_ROOT=str(project))
        self.assertEqual(self.run_br("scan", env=env).returncode, 0)
        (project / "src" / "invoices.ts").write_text("export function listInvoices() { return [] }\n")
        stale = self.run_br("retrieve", "--query", "invoices", "--json", env=env)
        self.assertNotIn('"path": "src/invoices.ts"', stale.stdout)
        fresh = self.run_br("retrieve", "--query", "invoices", "--json", "--refresh", env=env)
        self.assertEqual(fresh.returncode, 0, fresh.stderr)
        self.assertIn('"path": "src/invoices.ts"', fresh.stdout)
        graph = (self.data / "info_graph.json").read_text()
        self.assertIn('"id": "src/invoices.ts"', graph)
        self.assertFalse((self.data / "symbol_index.json").exists())
        # prime too; what it leaves is what lexscan makes of the same earlier graph.
        lexscan_out = self.tmp / "lexscan" / "info_graph.json"
        lexscan_out.parent.mkdir()
        shutil.copy(self.data / "info_graph.json", lexscan_out)
        (project / "src" / "orders.ts").unlink()
        r = self.run_br("prime", "--query", "orders", "--refresh", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("- src/orders.ts", r.stdout)
        subprocess.run([str(BIN.parent / "lexscan"), "--root", str(project), "--out", str(lexscan_out)], check=True,
                       capture_output=True)
        self.assertEqual((self.data / "info_graph.json").read_text(), lexscan_out.read_text())

    def test_a_root_that_is_no_directory_fails_and_writes_nothing(self):
        (self.tmp / "file.ts").write_text("export const a = 1\n")
        for root in (self.tmp / "missing", self.tmp / "file.ts"):
            want = (1, "", f"br: error: project root is not a directory: {root}\n")
            for args, env in ((("scan", "--root", str(root)), self.env),
                              (("retrieve", "--query", "q"), dict(self.env, BRAID_PROJECT_ROOT=str(root))),
                              (("prime",), dict(self.env, BRAID_PROJECT_ROOT=str(root)))):
                r = self.run_br(*args, env=env)
                self.assertEqual((r.returncode, r.stdout, r.stderr), want, args)
            self.assertFalse(self.data.exists())
        # The graph br has is kept: a mistyped root no longer replaces it with an empty one.
        self.write_graph({"nodes": [], "edges": [], "mark": 1})
        self.assertEqual(self.run_br("scan", "--root", str(self.tmp / "missing")).returncode, 1)
        self.assertEqual(json.loads((self.data / "info_graph.json").read_text())["mark"], 1)


if __name__ == "__main__":
    unittest.main()
