# The graph's tools as the assistant calls them: a scripted session with kestrune-mcp on a copy of
# the bundled project (no graph yet), one JSON-RPC message per line on its standard input. Each
# answer is shown shortened: the result's text, or the error.
set -euo pipefail
BIN=$(pwd)/src/kestrune/bin
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
PROJ=$TMP/shop
cp -R examples/shop "$PROJ"
rm -rf "$PROJ/.braid"
unset BR_DATA_DIR BR_EDIT_GUARD KESTRUNE_DATA_DIR KESTRUNE_RANKER CLAUDE_PROJECT_DIR

call() {  # id, tool, arguments
  printf '{"jsonrpc": "2.0", "id": %s, "method": "tools/call", "params": {"name": "%s", "arguments": %s}}\n' "$1" "$2" "$3"
}
{
  echo '{"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "demo", "version": "1"}}}'
  echo '{"jsonrpc": "2.0", "method": "notifications/initialized"}'
  echo '{"jsonrpc": "2.0", "id": 1, "method": "tools/list"}'
  call 2 graph_continue '{"query": "Where are orders saved to the database?", "max_files": 3, "budget": 600}'
  call 3 graph_register_edit '{"file": "lib/db.ts", "summary": "pooled the connections"}'
  call 4 graph_dead_exports '{}'
  call 5 graph_attention '{}'
  echo 'not json'
  echo '{"jsonrpc": "2.0", "id": 6, "method": "resources/list"}'
} | tee "$TMP/in" | "$BIN/kestrune-mcp" --root "$PROJ" > "$TMP/out"

python3 - "$TMP/in" "$TMP/out" "$TMP" <<'EOF'
import json, sys
requests = [line for line in open(sys.argv[1]) if '"id"' in line or not line.startswith("{")]
for sent, line in zip(requests, open(sys.argv[2])):
    a = json.loads(line)
    try:
        what = json.loads(sent).get("params", {}).get("name") or json.loads(sent)["method"]
    except ValueError:
        what = sent.strip()
    print(f"--> {what}")
    if "error" in a:
        print(f"<-- error {a['error']['code']}: {a['error']['message']}")
    elif "content" in a["result"]:
        text = a["result"]["content"][0]["text"].replace(sys.argv[3], "$TMP").splitlines()
        print("\n".join(f"<-- {l}" for l in text[:12]) + (f"\n<-- … {len(text) - 12} more lines" if len(text) > 12 else ""))
    elif "tools" in a["result"]:
        print("<-- tools: " + ", ".join(t["name"] for t in a["result"]["tools"]))
    else:
        print(f"<-- protocol {a['result']['protocolVersion']}, server {a['result']['serverInfo']['name']}")
EOF
echo
echo "-- read back: br prime's action trail, on the project's .braid"
KESTRUNE_DATA_DIR=$PROJ/.braid "$BIN/br" prime --query orders | sed -n '/## Action Trail/,$p'
echo
echo "-- read back: the edit guard, before an edit of the registered file"
printf '{"tool_name": "Edit", "tool_input": {"file_path": "%s/lib/db.ts"}}' "$PROJ" |
  (cd "$PROJ" && "$BIN/edit_guard" 2>&1) | sed -n '1,/lib\/db.ts/p' || true
