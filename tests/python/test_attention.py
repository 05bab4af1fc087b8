"""kestrune.attention: recording actions and reading scores from Python, as the guard reads them."""
import json
import tempfile
import unittest
from pathlib import Path

from kestrune import attention, edit_guard


class Attention(unittest.TestCase):
    def test_record_then_scores(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp).resolve()
            call = attention.hook_call(json.dumps({
                "session_id": "s1", "tool_name": "Edit", "tool_input": {"file_path": str(root / "src/a.py")}}),
                cwd=str(root))
            self.assertEqual((call["kind"], call["path"], call["file"]),
                             ("edit_observation", "src/a.py", str(root / ".braid/chat_action_graph.json")))
            self.assertIsNone(attention.hook_call('{"tool_name": "Bash"}', cwd=str(root)))

            now = 1700000000
            edit = {"kind": "register_edit", "file": "src/a.py", "tool": "x", "session": "s1"}
            self.assertEqual(attention.record(call["file"], [edit, edit], now=now - 3600), (2, None))
            self.assertEqual(attention.record(call["file"], [dict(edit, kind="read")], now=now), (3, None))
            records = attention.records(call["file"], now=now)
            self.assertEqual(records, [{"file": "src/a.py", "score": 10.0, "reads": 1, "edits": 2,
                                        "last_ts": now}])
            self.assertEqual(attention.records(call["file"], now=now + 36000, at_risk=True), [])
            # The guard sees the same record.
            status, _ = edit_guard.decide(json.dumps({"tool_name": "Bash", "tool_input": {"command": "rm -f src/a.py"}}),
                                          env={}, now=now, cwd=str(root))
            self.assertEqual(status, 2)

            Path(call["file"]).write_text("not json")
            self.assertEqual(attention.record(call["file"], [edit], now=now), (1, call["file"] + ".bad"))
            with self.assertRaises(TypeError):
                attention.record(call["file"], [{"kind": 1}])


if __name__ == "__main__":
    unittest.main()
