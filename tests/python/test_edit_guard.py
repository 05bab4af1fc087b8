"""kestrune.edit_guard: the hook's constants, its decision and the command as the assistant runs it."""
import json
import os
import re
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from kestrune import edit_guard

BIN = Path(os.environ.get("KESTRUNE_BIN_DIR", Path(__file__).resolve().parents[2] / "src/kestrune/bin"))


def hook_input(tool, **tool_input):
    return json.dumps({"tool_name": tool, "tool_input": tool_input})


class Constants(unittest.TestCase):
    def test_values(self):
        self.assertEqual(edit_guard.WRITE_TOOLS, {"Write", "NotebookEdit"})
        self.assertEqual((edit_guard.EDIT_TOOL, edit_guard.BASH_TOOL), ("Edit", "Bash"))
        self.assertEqual(edit_guard.KIND_WEIGHT,
                         {"read": 2, "read_cache_hit": 1, "register_edit": 8, "edit_observation": 5})
        self.assertEqual(edit_guard.HARD_BASH.flags & (re.I | re.M), re.I | re.M)
        self.assertEqual(edit_guard.ATTENTION_THRESHOLD, 4.0)

    def test_shell_classification_agrees_with_python_re(self):
        # The native decision and Python's own re must classify alike.
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp).resolve()
            (root / ".braid").mkdir()
            actions = [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1000}] * 2
            (root / ".braid/chat_action_graph.json").write_text(json.dumps({"actions": actions}))
            commands = ["rm -rf src/app.py", "ls && RM -f src/app.py", "x; find . -delete", ": > src/app.py",
                        "truncate -s0 a", "dd if=/dev/zero of=x", "mkfs.ext4 /dev/x", "shred -u a",
                        "echo > src/app.py", "echo >> src/app.py", "rm src/app.py", "cat a | rm -r b",
                        "echo a\n  rm -f src/app.py", "rmdir src", "grep x src/app.py", "\u00e9 > x/\u00e9"]
            for cmd in commands:
                hard = bool(edit_guard.HARD_BASH.search(cmd))
                soft = not hard and bool(edit_guard.SOFT_BASH.search(cmd))
                targets = [m.group(1).strip() for m in edit_guard.TARGET_PATTERN.finditer(cmd)]
                at_risk = any(t == "src/app.py" for t in targets)
                status, _ = edit_guard.decide(hook_input("Bash", command=cmd), env={}, now=1000, cwd=str(root))
                expected = (2 if hard else 1) if (hard or soft) and at_risk else 0
                self.assertEqual(status, expected, cmd)


class Command(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name).resolve()
        (self.root / ".braid").mkdir()
        now = int(time.time())
        actions = [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": now}] * 2
        (self.root / ".braid/chat_action_graph.json").write_text(json.dumps({"actions": actions}))

    def tearDown(self):
        self.tmp.cleanup()

    def run_guard(self, stdin, *args, **env):
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("BR_")}
        full_env.update(env)
        return subprocess.run([str(BIN / "edit_guard"), *args], input=stdin, capture_output=True,
                              cwd=self.root, env=full_env, timeout=30)

    def test_block_warn_allow(self):
        p = self.run_guard(hook_input("Bash", command="rm -rf src/app.py").encode())
        self.assertEqual(p.returncode, 2)
        self.assertTrue(p.stdout.startswith("Kestrune Edit Guard [HARD BLOCK]\n".encode()))
        self.assertTrue(p.stdout.endswith(b"environment)\n"))
        self.assertEqual(p.stderr, p.stdout)
        self.assertIn("edited 2\u00d7, last touched 0 min ago]".encode(), p.stdout)

        p = self.run_guard(hook_input("Write", file_path="src/app.py").encode())
        self.assertEqual((p.returncode, p.stdout[:30]), (1, b"Kestrune Edit Guard [WARNING]\n"))

        p = self.run_guard(hook_input("Write", file_path="src/app.py").encode(), BR_EDIT_GUARD="0")
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))

    def test_fifo_attention_file_counts_as_none(self):
        fifo_dir = self.root / "fifo"
        fifo_dir.mkdir()
        os.mkfifo(fifo_dir / "chat_action_graph.json")
        p = self.run_guard(hook_input("Bash", command="rm -rf src/app.py").encode(), BR_DATA_DIR=str(fifo_dir))
        self.assertEqual((p.returncode, p.stdout), (0, b""))

    def test_decision_json(self):
        p = self.run_guard(hook_input("Bash", command="rm -rf src/app.py").encode(), "--decision-json")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        out = json.loads(p.stdout)["hookSpecificOutput"]
        self.assertEqual((out["hookEventName"], out["permissionDecision"]), ("PreToolUse", "deny"))
        self.assertTrue(out["permissionDecisionReason"].startswith("Kestrune Edit Guard [HARD BLOCK]\n"))
        p = self.run_guard(hook_input("Edit", file_path="src/app.py").encode(), "--decision-json")
        self.assertEqual(json.loads(p.stdout)["hookSpecificOutput"]["permissionDecision"], "ask")
        p = self.run_guard(hook_input("Edit", file_path="src/other.py").encode(), "--decision-json")
        self.assertEqual((p.returncode, p.stdout), (0, b""))

    def test_odd_input_and_arguments(self):
        for stdin in [b"", b"\xff\xfe", b"{", b"[1, 2]", b"\xef\xbb\xbf{}", b"{" * 200000]:
            p = self.run_guard(stdin)
            self.assertEqual((p.returncode, p.stdout), (0, b""), stdin[:20])
        p = self.run_guard(b"{}", "--bogus")
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, b"edit_guard: error: unrecognized argument: --bogus\n")

    def test_module_main(self):
        code = ("import sys; from kestrune import edit_guard\n"
                "try:\n    edit_guard.main([])\nexcept SystemExit as e:\n    sys.exit(e.code)\n")
        env = dict(os.environ, PYTHONPATH=str(Path(edit_guard.__file__).resolve().parents[1]))
        p = subprocess.run(["python3", "-c", code], input=hook_input("Edit", file_path="src/app.py").encode(),
                           capture_output=True, cwd=self.root, env=env, timeout=30)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertTrue(p.stdout.startswith(b"Kestrune Edit Guard [WARNING]\n"))


if __name__ == "__main__":
    unittest.main()
