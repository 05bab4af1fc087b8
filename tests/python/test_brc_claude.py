"""brc-claude and brc, run from a scratch copy of the package so br's data directory is a
temporary one, with a fake `claude` on PATH that records what it was started with."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

REPO = pathlib.Path(__file__).resolve().parents[2]
PKG = REPO / "src" / "kestrune"
BIN = pathlib.Path(os.environ.get("KESTRUNE_BIN_DIR") or PKG / "bin")

SEPARATOR = "\n\n---\n\nUser question: "
INSTRUCTIONS = ("\n\nInstructions: Answer thoroughly using the pre-loaded context above. Include relevant "
                "code snippets in your response when they help explain the answer. Reference specific "
                "file paths and line numbers. Do not edit any files.")
USAGE_LINES = 'Usage: brc-claude [OPTIONS] "your question here"\nRun brc-claude --help for full options.\n'
MISSING = ("[brc] Error: 'claude' binary not found in PATH.\n"
           "Install Claude Code CLI: ")

FAKE_CLAUDE = f"""\
#!{sys.executable}
import json, os, sys
with open(os.environ["FAKE_CLAUDE_OUT"], "w") as f:
    json.dump({{"argv": sys.argv[1:], "env": dict(os.environ), "cwd": os.getcwd()}}, f)
"""

PROJECT = {
    "api/orders.ts": "import { db } from '../lib/db'\n\nexport async function POST(req) {\n"
                     "  return db.orders.insert(await req.json())\n}\n",
    "lib/db.ts": "export const db = { orders: { insert: async (o) => o } }\n",
    "billing/invoice.py": "def render_invoice(order):\n    return f'Invoice {order}'\n",
}


class Launcher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        t = pathlib.Path(cls.tmp.name)
        cls.pkg = t / "kestrune"
        (cls.pkg / "bin").mkdir(parents=True)
        for cmd in ("brc-claude", "brc"):
            shutil.copy2(BIN / cmd, cls.pkg / "bin" / cmd)
        shutil.copy2(PKG / "__init__.py", cls.pkg / "__init__.py")
        for so in PKG.glob("*.so"):
            shutil.copy2(so, cls.pkg / so.name)
        cls.data = cls.pkg / "data"
        cls.fakebin = t / "fakebin"
        cls.fakebin.mkdir()
        (cls.fakebin / "claude").write_text(FAKE_CLAUDE)
        (cls.fakebin / "claude").chmod(0o755)
        cls.record = t / "claude.json"
        cls.project = t / "proj"
        for rel, text in PROJECT.items():
            (cls.project / rel).parent.mkdir(parents=True, exist_ok=True)
            (cls.project / rel).write_text(text)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        shutil.rmtree(self.data, ignore_errors=True)
        self.record.unlink(missing_ok=True)

    def env(self, with_claude=True, **extra):
        env = dict(os.environ)
        env["PATH"] = (str(self.fakebin) + os.pathsep if with_claude else "") + "/usr/bin:/bin"
        env["FAKE_CLAUDE_OUT"] = str(self.record)
        env.update(extra)
        return env

    def run_cmd(self, cmd, *args, **env):
        return subprocess.run([str(self.pkg / "bin" / cmd), *args], capture_output=True, text=True,
                              env=self.env(**env), timeout=60)

    def claude_record(self):
        return json.loads(self.record.read_text())

    def test_usage_lines_without_a_question(self):
        for words in ([], ["", "  "]):
            r = self.run_cmd("brc-claude", "-r", str(self.project), *words)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (1, "", USAGE_LINES))
        self.assertFalse(self.data.exists())

    def test_help_and_usage_errors(self):
        r = self.run_cmd("brc-claude", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("usage: brc-claude [-h] [--project-root PROJECT_ROOT]"))
        self.assertIn("Pre-injection wrapper: graph retrieval \u2192 packed context \u2192 claude -p", r.stdout)
        r = self.run_cmd("brc-claude", "--budget", "lots", "q")
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith("brc-claude: error: argument --budget/-b: invalid int value: 'lots'\n"))

    def test_missing_root(self):
        r = self.run_cmd("brc-claude", "-r", str(self.project / "nope" / ".." / "x"), "q")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, f"[brc] Error: project root does not exist: {self.project / 'x'}\n")

    def test_graph_on_first_use_then_reused(self):
        r = self.run_cmd("brc-claude", "--dry-run", "-r", str(self.project), "orders")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stderr, r"\A\[brc\] No graph found \u2014 scanning " + re.escape(str(self.project)) +
                         r" \.\.\.\n\[brc\] Graph built in \d+\.\ds: \d+ nodes, \d+ edges\n\Z")
        graph_file = self.data / "info_graph.json"
        text = graph_file.read_text()
        self.assertEqual(text, json.dumps(json.loads(text), indent=2))
        self.assertEqual(json.loads(text)["root"], str(self.project))
        # Present now, so used as it is, even for another root.
        r = self.run_cmd("brc-claude", "--dry-run", "-r", str(self.project / "lib"), "orders")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        graph_file.write_text("{broken")
        r = self.run_cmd("brc-claude", "--dry-run", "-r", str(self.project), "orders")
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith("[brc] Error loading graph: Expecting property name"), r.stderr)
        graph_file.unlink()
        os.mkfifo(graph_file)  # unreadable, and never waited on
        r = self.run_cmd("brc-claude", "--dry-run", "-r", str(self.project), "orders")
        self.assertEqual((r.returncode, r.stderr), (1, f"[brc] Error loading graph: Not a regular file: '{graph_file}'\n"))

    def test_dry_run_prints_the_context_alone(self):
        r = self.run_cmd("brc-claude", "--dry-run", "-r", str(self.project), "how", "are", "orders", "stored")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("# Project context\n"))
        self.assertIn("## api/orders.ts\n", r.stdout)
        self.assertNotIn("User question:", r.stdout)
        self.assertFalse(self.record.exists())

    def test_argument_vector_and_environment_for_every_flag_combination(self):
        question = ["how", "does", "", "checkout", "work"]
        common = ["-r", str(self.project), "-m", "opus-x", "-b", "800", "--max-files", "2"]
        context = self.run_cmd("brc-claude", "--dry-run", *common, *question).stdout[:-1]
        prompt = context + SEPARATOR + "how does  checkout work" + INSTRUCTIONS
        flags = [("--json", ["--output-format", "json"]),
                 ("--no-permissions", ["--dangerously-skip-permissions"]),
                 ("--no-session", ["--no-session-persistence"])]
        for mask in range(8):
            chosen = [flags[i] for i in range(3) if mask & (1 << i)]
            args = [f for f, _ in chosen] + common + question
            self.record.unlink(missing_ok=True)
            r = self.run_cmd("brc-claude", *args, CLAUDECODE="1", CLAUDE_CODE_SESSION="s", KESTRUNE_PROBE="kept")
            self.assertEqual(r.returncode, 0, r.stderr)
            rec = self.claude_record()
            want = ["-p", prompt, "--model", "opus-x"] + [a for _, added in chosen for a in added]
            self.assertEqual(rec["argv"], want, args)
            self.assertNotIn("CLAUDECODE", rec["env"])
            self.assertNotIn("CLAUDE_CODE_SESSION", rec["env"])
            self.assertEqual(rec["env"]["KESTRUNE_PROBE"], "kept")

    def test_verbose_lines(self):
        r = self.run_cmd("brc-claude", "-v", "-r", str(self.project), "-m", "m9", "invoice")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stderr, r"\[brc\] Context packed in \d+\.\d\ds \(~\d+ tokens\)\n"
                                   r"\[brc\] Launching: claude -p \.\.\. --model m9\n\Z")

    def test_missing_claude(self):
        r = self.run_cmd("brc-claude", "-r", str(self.project), "invoice", with_claude=False)
        self.assertEqual(r.returncode, 1)
        last_two = "".join(r.stderr.splitlines(keepends=True)[-2:])
        self.assertTrue(last_two.startswith(MISSING), r.stderr)
        self.assertNotIn("Launching", r.stderr)

    def test_brc_builds_the_graph_audits_and_hands_over(self):
        project = pathlib.Path(tempfile.mkdtemp(dir=self.tmp.name))
        shutil.copytree(self.project, project, dirs_exist_ok=True)
        braid = project / ".braid"
        built = (rf"\[brc\] No graph found \u2014 scanning {re.escape(str(project))} \.\.\.\n"
                 rf"\[brc\] Graph built in \d+\.\ds with the regex scanner: 3 files, \d+ symbols, \d+ edges\n"
                 rf"\[brc\] Wrote: {re.escape(str(braid / 'info_graph.json'))}\n")
        next_step = f"[brc] Next: brc audit {project} --fix   (audits the project, then starts claude on its fix roadmap)\n"
        # (arguments, graph there before, exit status, standard error, claude started)
        forms = [
            ([str(project)], False, 0, built + re.escape(next_step), False),
            ([str(project)], True, 0, re.escape(f"[brc] Graph already built: {braid / 'info_graph.json'}\n" + next_step),
             False),
            (["audit", str(project), "--json"], True, 0, r"\nKestrune Auditor \u2014 ", False),
            (["audit", str(project), "--fix", "--no-color"], False, 0, built + r"\nKestrune Auditor ", True),
            ([str(project)], True, 0, r"\[brc\] Starting claude in ", True),  # the audit left its context
        ]
        for args, graph_there, status, err, started in forms:
            with self.subTest(args=args, graph_there=graph_there):
                if not graph_there:
                    (braid / "info_graph.json").unlink(missing_ok=True)
                self.record.unlink(missing_ok=True)
                r = self.run_cmd("brc", *args, CLAUDECODE="1")
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertRegex(r.stderr, "\\A" + err)
                self.assertEqual(self.record.exists(), started)
                graph = json.loads((braid / "info_graph.json").read_text())
                self.assertEqual((graph["root"], graph["file_count"]), (str(project), 3))
                self.assertTrue((braid / "symbol_index.json").exists())
                if "--json" in args:
                    self.assertEqual(json.loads(r.stdout), json.loads((braid / "audit_report.json").read_text()))
        rec = self.claude_record()
        self.assertEqual(len(rec["argv"]), 1)
        self.assertTrue(rec["argv"][0].startswith("Read .braid/AUDIT_CONTEXT.md"))
        self.assertIn((braid / "AUDIT_CONTEXT.md").read_text(), rec["argv"][0])
        self.assertEqual(rec["cwd"], str(project))
        self.assertNotIn("CLAUDECODE", rec["env"])

    def test_brc_help_usage_and_roots_that_are_no_directory(self):
        r = self.run_cmd("brc", "--help")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertTrue(r.stdout.startswith("usage: brc <project-root>\n       brc audit <project-root> "))
        self.assertEqual(self.run_cmd("brc").returncode, 2)
        (self.project / "file.txt").write_text("x")
        try:
            for root in (self.project / "missing", self.project / "file.txt"):
                for args in ([str(root)], ["audit", str(root), "--fix"]):
                    r = self.run_cmd("brc", *args)
                    self.assertEqual((r.returncode, r.stdout, r.stderr),
                                     (1, "", f"[brc] Error: project root is not a directory: {root}\n"))
            self.assertFalse((self.project / ".braid").exists())
            self.assertFalse(self.record.exists())
        finally:
            (self.project / "file.txt").unlink()

    def test_python_module(self):
        script = textwrap.dedent(f"""
            import json, sys
            from kestrune import br, brc_claude
            for build in (lambda: brc_claude._ensure_graph("/nonexistent/x"), br.load_graph):
                try:
                    build()
                except NotADirectoryError as e:
                    print(e)
            ns = brc_claude.parse_args(["-b", "9", "q", "w"])
            print(json.dumps(vars(ns)))
            graph = brc_claude._ensure_graph({str(self.project)!r})
            print(graph["root"], graph["file_count"])
            print(brc_claude.main([]))
            sys.stdout.flush()
            try:
                brc_claude.parse_args(["-b", "x"])
            except SystemExit as e:
                print("exit", e.code)
        """)
        r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                           env=self.env(PYTHONPATH=str(self.pkg.parent), BRAID_PROJECT_ROOT="/nonexistent/x"))
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[:2], ["[Errno 20] project root is not a directory: '/nonexistent/x'"] * 2)
        del lines[:2]
        self.assertEqual(json.loads(lines[0]), {
            "query": ["q", "w"], "project_root": ".", "budget": 9, "max_files": 8, "model": "claude-sonnet-4-6",
            "json": False, "dry_run": False, "no_permissions": False, "no_session": False, "verbose": False})
        self.assertEqual(lines[1:], [f"{self.project} 3", "1", "exit 2"])
        self.assertTrue((self.data / "info_graph.json").exists())
        self.assertIn(USAGE_LINES, r.stderr)


if __name__ == "__main__":
    unittest.main()
