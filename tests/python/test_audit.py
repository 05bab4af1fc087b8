"""The audit command and the kestrune.audit module, on graphs the regex scanner writes."""
import io
import json
import os
import pathlib
import pty
import shutil
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stderr

REPO = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("KESTRUNE_BIN_DIR") or REPO / "src" / "kestrune" / "bin")
AUDIT = BIN / "audit"
LEXSCAN = BIN / "lexscan"

CLAMP = """\
export function clampCents(value: number): number {
  if (value < 0) {
    return 0;
  }
  if (value > 1000000) {
    return 1000000;
  }
  const whole = Math.round(value);
  const checked = Number.isFinite(whole);
  const result = checked ? whole : 0;
  return result;
}
"""

PROJECT = {
    "src/lib/format.ts": """\
// Formatting helpers.
export function formatPrice(cents: number): string {
  const euros = Math.floor(cents / 100);
  return euros + "." + (cents % 100);
}

export function unusedHelper(x: number): number {
  return x * 2;
}
""" + "\n" + CLAMP,
    "src/lib/money.ts": """\
export function formatMoney(cents: number): string {
  return String(cents / 100);
}

export async function loadRates() {
  const res = await fetch("/rates");
  return res.json();
}

export async function safeRates() {
  try {
    return await fetch("/rates");
  } catch (e) {
    return null;
  }
}
""" + "\n" + CLAMP,
    "src/app/page.tsx": """\
import { formatPrice } from "../lib/format";
import { formatMoney, safeRates } from "../lib/money";
// TODO: show the cart total
export default function Page() {
  safeRates();
  return <p>{formatPrice(100)} {formatMoney(5)}</p>;
}
""",
    "README.md": "# Shop\n",
}


def make_project(base, files=PROJECT):
    root = pathlib.Path(base) / "proj"
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    return root


def scan(root):
    subprocess.run([str(LEXSCAN), "--root", str(root), "--out", str(root / ".braid" / "info_graph.json")],
                   check=True, capture_output=True)


def run_audit_cmd(*args, cwd=None, env_extra=None, exe=AUDIT):
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    env.update(env_extra or {})
    return subprocess.run([str(exe), *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=60)


class ScannedProjectTest(unittest.TestCase):
    """The checks on a graph the regex scanner wrote: symbols carry `path`, every
    symbol is a "contains" target, imports name module text, lines are 0-based."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = make_project(cls.tmp.name)
        scan(cls.root)
        cls.proc = run_audit_cmd("--root", str(cls.root), "--json")
        cls.report = json.loads(cls.proc.stdout)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_dead_exports_count_name_uses_in_other_files(self):
        # formatPrice, formatMoney and safeRates are used by page.tsx; clampCents
        # is written in both lib files, so each copy counts as used by the other.
        self.assertEqual(self.report["dead_exports"], [
            {"file": "src/app/page.tsx", "symbol": "Page", "line": 4, "type": "use_case"},
            {"file": "src/lib/format.ts", "symbol": "unusedHelper", "line": 7, "type": "use_case"},
            {"file": "src/lib/money.ts", "symbol": "loadRates", "line": 5, "type": "use_case"},
        ])

    def test_copy_paste_and_error_handling_read_the_symbols_path(self):
        self.assertEqual(self.report["copy_paste"], [{"copies": 2, "lines": 11, "symbols": [
            {"file": "src/lib/format.ts", "name": "clampCents", "line": 11},
            {"file": "src/lib/money.ts", "name": "clampCents", "line": 18},
        ]}])
        self.assertEqual(self.report["missing_error_handling"],
                         [{"file": "src/lib/money.ts", "symbol": "loadRates", "line": 5}])

    def test_other_checks_and_files(self):
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual(self.report["todos"], [{"file": "src/app/page.tsx", "line": 3, "text": "TODO: show the cart total"}])
        self.assertEqual(self.report["test_coverage"]["coverage_pct"], 0)
        self.assertEqual(self.report["circular_deps"], [])
        self.assertEqual(self.report["debt_score"], 60 + 1 + 2)
        written = (self.root / ".braid" / "audit_report.json").read_text()
        self.assertEqual(written + "\n", self.proc.stdout)
        self.assertFalse(written.endswith("\n"))
        self.assertEqual(list(self.report), ["dead_exports", "test_coverage", "circular_deps", "copy_paste",
                                             "db_in_routes", "todos", "missing_error_handling", "debt_score"])
        # --json leaves out the terminal report and the two path lines.
        self.assertNotIn("JSON:", self.proc.stderr)
        self.assertIn("  error handling...  done\n", self.proc.stderr)


class CommandTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.base = pathlib.Path(self.tmp.name)

    def graph_root(self, graph_text):
        root = self.base / "p"
        (root / ".braid").mkdir(parents=True)
        if graph_text is not None:
            (root / ".braid" / "info_graph.json").write_text(graph_text, encoding="utf-8")
        return root

    def test_missing_or_unusable_graph(self):
        for text in (None, "", "{oops", "[]", "{}", "null"):
            with self.subTest(text=text):
                root = self.graph_root(text)
                proc = run_audit_cmd("--root", str(root))
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(proc.stdout, "")
                self.assertEqual(proc.stderr, f"\nKestrune Auditor — p\nNo info_graph.json found in {root}/.braid/\n"
                                              "Run `brc .` first to build the graph, then re-run the audit.\n")
                self.assertEqual(sorted(os.listdir(root / ".braid")), [] if text is None else ["info_graph.json"])
                shutil.rmtree(root)

    def test_fifo_graph_is_no_graph(self):
        root = self.graph_root(None)
        os.mkfifo(root / ".braid" / "info_graph.json")
        proc = run_audit_cmd("--root", str(root))
        self.assertEqual((proc.returncode, proc.stdout), (1, ""))
        self.assertIn(f"No info_graph.json found in {root}/.braid/\n", proc.stderr)

    def test_plain_report_and_trailing_paths(self):
        root = self.graph_root(json.dumps({"nodes": [{"id": "a.md", "kind": "file"}]}))
        proc = run_audit_cmd("--root", str(root / "sub" / ".."))
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.startswith("\nKestrune Audit — p\n"))
        self.assertTrue(proc.stdout.endswith("pre-loaded.\n"))
        self.assertNotIn("\x1b", proc.stdout)
        self.assertTrue(proc.stderr.endswith(f"done\n\n  JSON:    {root}/.braid/audit_report.json\n"
                                             f"  Context: {root}/.braid/AUDIT_CONTEXT.md\n"))
        context = (root / ".braid" / "AUDIT_CONTEXT.md").read_text()
        self.assertEqual(len(context.split("\n")), 9)

    def test_out_is_relative_to_the_working_directory(self):
        root = self.graph_root(json.dumps({"nodes": [{"id": "a.md", "kind": "file"}]}))
        proc = run_audit_cmd("--root", str(root), "--out", "reports//audit.json", cwd=self.base)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("\n  JSON:    reports//audit.json\n", proc.stderr)
        self.assertTrue((self.base / "reports" / "audit.json").is_file())
        self.assertFalse((root / ".braid" / "audit_report.json").exists())

    def test_bad_options(self):
        usage = "usage: audit [-h] [--root ROOT] [--out OUT] [--json] [--no-color] [--fix]\n"
        for args, message in ((["--bogus", "x"], "unrecognized arguments: --bogus x"),
                              (["--root"], "argument --root: expected one argument"),
                              (["--json=1"], "argument --json: ignored explicit argument '1'")):
            with self.subTest(args=args):
                proc = run_audit_cmd(*args)
                self.assertEqual(proc.returncode, 2)
                self.assertEqual(proc.stderr, usage + "audit: error: " + message + "\n")
        proc = run_audit_cmd("--help")
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.startswith(usage + "\nKestrune Vibe Code Auditor\n"))

    def test_unwritable_report_is_one_line_and_status_1(self):
        root = self.graph_root(json.dumps({"nodes": [{"id": "a.md", "kind": "file"}]}))
        (self.base / "blocker").write_text("")
        proc = run_audit_cmd("--root", str(root), "--out", str(self.base / "blocker" / "r.json"))
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr.splitlines()[-1].split(":")[0], "audit")

    def run_on_tty(self, *args, env_extra=None):
        env = dict(os.environ)
        env.pop("NO_COLOR", None)
        env.update(env_extra or {})
        master, slave = pty.openpty()
        proc = subprocess.Popen([str(AUDIT), *args], stdout=slave, stderr=subprocess.DEVNULL, env=env)
        os.close(slave)
        chunks = []
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        os.close(master)
        proc.wait()
        return b"".join(chunks).decode()

    def test_colour_on_a_terminal_unless_turned_off(self):
        root = self.graph_root(json.dumps({"nodes": [{"id": "a.py", "kind": "file"}]}))
        self.assertIn("\x1b[1mOVERVIEW\x1b[0m", self.run_on_tty("--root", str(root)))
        self.assertNotIn("\x1b", self.run_on_tty("--root", str(root), "--no-color"))
        self.assertNotIn("\x1b", self.run_on_tty("--root", str(root), env_extra={"NO_COLOR": "1"}))
        self.assertIn("\x1b[", self.run_on_tty("--root", str(root), env_extra={"NO_COLOR": ""}))

    def test_fix_hands_over_to_brc_beside_the_package(self):
        root = self.graph_root(json.dumps({"nodes": [{"id": "a.md", "kind": "file"}]}))
        pkg_bin = self.base / "pkg" / "bin"
        pkg_bin.mkdir(parents=True)
        shutil.copy(AUDIT, pkg_bin / "audit")
        record = self.base / "brc-args"
        (pkg_bin / "brc").write_text(f'#!/bin/sh\nprintf "%s|" "$0" "$@" > "{record}"\necho from-brc\n')
        (pkg_bin / "brc").chmod(0o755)
        proc = run_audit_cmd("--root", str(root), "--fix", exe=pkg_bin / "audit")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(record.read_text(), f"{pkg_bin / 'brc'}|{root}|")
        self.assertTrue(proc.stdout.endswith("pre-loaded.\nfrom-brc\n"))
        self.assertTrue(proc.stderr.endswith("\n\n  Launching brc with audit context...\n"))

        # Without bin/brc the bare name is tried as given (not searched on PATH).
        (pkg_bin / "brc").unlink()
        proc = run_audit_cmd("--root", str(root), "--fix", exe=pkg_bin / "audit", cwd=self.base)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr.splitlines()[-1],
                         "audit: error: cannot launch brc: [Errno 2] No such file or directory: 'brc'")

    def test_large_graph_with_a_long_import_chain(self):
        nodes, edges = [], []
        for i in range(10000):
            fid = f"src/m{i}.ts"
            nodes.append({"id": fid, "kind": "file", "path": fid, "content": f"import {{ f{i + 1} }} from './m{i + 1}'"})
            for k in range(9):
                nodes.append({"id": f"{fid}::f{i}_{k}", "kind": "symbol", "path": fid, "name": f"f{i}_{k}",
                              "exported": True, "line_start": k, "line_end": k + 12, "body_hash": f"h{k}"})
            edges.append({"from": fid, "to": f"src/m{(i + 1) % 10000}.ts", "rel": "imports"})
        root = self.graph_root(json.dumps({"nodes": nodes, "edges": edges}))
        proc = run_audit_cmd("--root", str(root), "--json")
        self.assertEqual(proc.returncode, 0, proc.stderr[-500:])
        report = json.loads(proc.stdout)
        self.assertEqual(len(report["circular_deps"]), 1)
        self.assertEqual(len(report["circular_deps"][0]), 10000)
        self.assertEqual(len(report["dead_exports"]), 50)
        self.assertEqual([g["copies"] for g in report["copy_paste"]], [10000] * 9)


class ModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        from kestrune import audit
        cls.audit = audit
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = make_project(cls.tmp.name)
        scan(cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_surface(self):
        a = self.audit
        self.assertEqual(len(a.CODE_EXTS), 24)
        self.assertIn(".zig", a.CODE_EXTS)
        self.assertIsInstance(a.COLOR, bool)
        self.assertEqual(a._c("green", "ok"), "\x1b[92mok\x1b[0m")
        self.assertEqual(a._c("green", "ok", False), "ok")
        self.assertEqual([a._debt_color(s) for s in (0, 29, 30, 59, 60)], ["green", "green", "yellow", "yellow", "red"])
        with self.assertRaises(TypeError):
            a.check_dead_exports([])
        with self.assertRaises(TypeError):
            a.check_todos({}, 3)

    def test_run_audit_matches_the_command(self):
        a = self.audit
        err = io.StringIO()
        with redirect_stderr(err):
            r = a.run_audit(str(self.root))
        self.assertEqual(err.getvalue().count("done\n"), 7)
        self.assertEqual(list(r)[0], "_graph")
        self.assertEqual(a.debt_score(r), r["debt_score"])
        self.assertEqual(r["dead_exports"], a.check_dead_exports(r["_graph"]))
        self.assertEqual(r["test_coverage"], a.check_test_coverage(r["_graph"], self.root))
        proc = run_audit_cmd("--root", str(self.root), "--no-color")
        self.assertEqual(a.format_report(self.root, r, False) + "\n", proc.stdout)
        path = a.write_audit_context(self.root, r)
        self.assertEqual(path, self.root / ".braid" / "AUDIT_CONTEXT.md")
        self.assertEqual([t["week"] for t in a.fix_roadmap(r)], [1, 2, 2])  # 3 dead exports: no task

    def test_run_audit_without_graph_exits_1(self):
        with tempfile.TemporaryDirectory() as d, redirect_stderr(io.StringIO()) as err:
            with self.assertRaises(SystemExit) as cm:
                self.audit.run_audit(d)
        self.assertEqual(cm.exception.code, 1)
        self.assertIn("Run `brc .` first", err.getvalue())

    def test_main(self):
        code = "import sys\nfrom kestrune import audit\naudit.main(sys.argv[1:])"
        out = subprocess.run([sys.executable, "-c", code, "--root", str(self.root), "--json"],
                             capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(REPO / "src")))
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(json.loads(out.stdout)["todos"][0]["line"], 3)


if __name__ == "__main__":
    unittest.main()
