"""`br prime --hook` as the assistant's UserPromptSubmit hook runs it, and KESTRUNE_DATA_DIR per project."""
import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

BIN = Path(os.environ.get("KESTRUNE_BIN_DIR", Path(__file__).resolve().parents[2] / "src/kestrune/bin"))
DEFAULT = "General codebase maintenance task"


class PrimeHook(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name).resolve()
        self.env = {k: v for k, v in os.environ.items() if k not in ("BR_QUERY", "BRAID_PROJECT_ROOT")}

    def tearDown(self):
        self.tmp.cleanup()

    def project(self, name, files):
        for f in files:
            (self.root / name / f).parent.mkdir(parents=True, exist_ok=True)
            (self.root / name / f).write_text("export function handler() { return 1 }\n")
        return self.root / name

    def prime(self, project, stdin, *args, **env):
        env = dict(self.env, KESTRUNE_DATA_DIR=str(project / ".braid" / "data"), **env)
        return subprocess.run([str(BIN / "br"), "prime", "--hook", *args], input=stdin, capture_output=True,
                              cwd=project, env=env)

    def query(self, r):
        self.assertEqual(r.returncode, 0, r.stderr)
        return next(line[len("- Query: "):] for line in r.stdout.decode().splitlines() if line.startswith("- Query: "))

    def test_prompt_is_the_query_and_bad_input_is_no_error(self):
        p = self.project("p", ["src/app.ts"])
        hook = json.dumps({"session_id": "s", "hook_event_name": "UserPromptSubmit", "prompt": "Why é?"}).encode()
        self.assertEqual(self.query(self.prime(p, hook)), "Why é?")
        self.assertEqual(self.query(self.prime(p, hook, "--query", "given")), "given")
        for bad in (b"", b"{", b"[1]", b"\xff{}", b'{"prompt": 5}', b'{"prompt": ""}', b"\xef\xbb\xbf{}"):
            self.assertEqual(self.query(self.prime(p, bad)), DEFAULT, bad)
        self.assertEqual(self.query(self.prime(p, b"{", BR_QUERY="from env")), "from env")

        # A graph br cannot read does not hold up the turn: one line, status 0.
        (p / ".braid/data/info_graph.json").write_text("{not json")
        r = self.prime(p, hook)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        self.assertEqual(r.stderr.decode().count("\n"), 1, r.stderr)

    def test_each_project_keeps_its_own_graph(self):
        a = self.project("a", ["src/alpha_only.ts"])
        b = self.project("b", ["lib/beta_only.ts"])
        ask = json.dumps({"prompt": "handler"}).encode()
        out_a = self.prime(a, ask).stdout.decode()
        out_b = self.prime(b, ask).stdout.decode()
        self.assertIn("alpha_only", out_a)
        self.assertNotIn("beta_only", out_a)
        self.assertIn("beta_only", out_b)
        self.assertNotIn("alpha_only", out_b)
        self.assertIn("alpha_only", (a / ".braid/data/info_graph.json").read_text())
        self.assertNotIn("alpha_only", (b / ".braid/data/info_graph.json").read_text())
        self.assertEqual(self.prime(a, ask).stdout.decode(), out_a)

    def test_refresh_keeps_the_graph_current_and_a_failed_one_still_answers(self):
        p = self.project("p", ["src/alpha_only.ts"])
        ask = json.dumps({"prompt": "handler"}).encode()
        self.prime(p, ask)
        self.project("p", ["src/beta_only.ts"])
        self.assertIn("beta_only", self.prime(p, ask, "--refresh").stdout.decode())
        r = self.prime(p, ask, "--refresh", BRAID_PROJECT_ROOT=str(p / "gone"))
        self.assertEqual(r.returncode, 0)
        self.assertIn("beta_only", r.stdout.decode())
        self.assertEqual(r.stderr.decode(), f"br: error: project root is not a directory: {p / 'gone'}\n")


if __name__ == "__main__":
    unittest.main()
