"""kestrune.mcp: the server's tools called from Python, without the protocol."""
import json
import os
import shutil
import tempfile
import unittest
from pathlib import Path

from kestrune import lexscan, mcp

SHOP = Path(__file__).resolve().parents[2] / "examples" / "shop"


class Tools(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name).resolve() / "shop"
        shutil.copytree(SHOP, self.root, ignore=shutil.ignore_patterns(".braid"))
        for name in ("CLAUDE_PROJECT_DIR", "BR_DATA_DIR", "KESTRUNE_RANKER", "BR_CAPABILITY_INDEX"):
            os.environ.pop(name, None)

    def tearDown(self):
        self.tmp.cleanup()

    def test_graph_is_kept_until_its_file_changes(self):
        root = str(self.root)
        query = "How are refunds reconciled with the ledger?"
        first = mcp.graph_continue(query, 3, root=root)
        self.assertTrue(first.startswith("No graph was found"), first)
        self.assertNotIn("refunds.ts", first)
        # A rescan by someone else: the next call reads the new graph, without a note.
        (self.root / "lib" / "refunds.ts").write_text(
            "// Refunds reconciled with the ledger\nexport function reconcileRefunds(ledger) { return ledger }\n")
        lexscan.main(["--root", root, "--out", str(self.root / ".braid" / "info_graph.json")])
        again = mcp.graph_continue(query, 3, root=root)
        self.assertTrue(again.startswith("# Project context"), again)
        self.assertIn("\n## lib/refunds.ts\n", again)
        kinds = [a["kind"] for a in json.loads((self.root / ".braid/chat_action_graph.json").read_text())["actions"]
                 if a["payload"]["file"] == "lib/refunds.ts"]
        self.assertEqual(kinds, ["read"])

    def test_failures_handle_and_the_tool_list(self):
        root = str(self.root)
        with self.assertRaisesRegex(mcp.ToolError, "^The file is empty"):
            mcp.graph_register_edit(" ", root=root)
        self.assertEqual([t["name"] for t in mcp.tools()],
                         ["graph_continue", "graph_register_edit", "graph_dead_exports", "graph_attention"])
        self.assertIsNone(mcp.handle('{"jsonrpc": "2.0", "method": "notifications/initialized"}', root=root))
        answer = json.loads(mcp.handle('{"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": '
                                       '{"name": "graph_dead_exports"}}', root=root))
        self.assertIn("\n\nDead exports: ", answer["result"]["content"][0]["text"])

if __name__ == "__main__":
    unittest.main()
