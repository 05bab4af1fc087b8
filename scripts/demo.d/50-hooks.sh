# The assistant's wiring, round trip, on a copy of the bundled project: the hooks installed
# into its settings, then the hook calls the assistant would make, each run with the very
# command line the settings hold: a prompt (br's context block), Read, Edit, Edit of one
# file (the attention recorder), and a shell command deleting it, which the guard blocks.
set -euo pipefail
BIN=$(pwd)/src/kestrune/bin
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
PROJ=$TMP/shop
cp -R examples/shop "$PROJ"
export CLAUDE_PROJECT_DIR=$PROJ
unset BR_DATA_DIR BR_EDIT_GUARD BR_QUERY KESTRUNE_DATA_DIR BRAID_PROJECT_ROOT

"$BIN/kestrune" hooks install --project "$PROJ" | sed "s|$TMP|\$TMP|g"
"$BIN/kestrune" hooks status --project "$PROJ" | sed "s|$TMP|\$TMP|g; s|$BIN|\$BIN|g"

# The command the settings run for an event.
hook() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["hooks"][sys.argv[2]][-1]["hooks"][0]["command"])' \
    "$PROJ/.claude/settings.json" "$1"
}
run() {  # event, hook input
  (cd "$PROJ" && printf '%s' "$2" | sh -c "$(hook "$1")")
}

echo
echo "-- UserPromptSubmit: the context block for the prompt"
run UserPromptSubmit '{"session_id": "demo", "hook_event_name": "UserPromptSubmit", "prompt": "Where are orders saved to the database?"}' |
  sed -n '8,16p'
for tool in Read Edit Edit; do
  echo "-- PostToolUse: $tool lib/db.ts"
  run PostToolUse "{\"session_id\": \"demo\", \"hook_event_name\": \"PostToolUse\", \"cwd\": \"$PROJ\", \"tool_name\": \"$tool\", \"tool_input\": {\"file_path\": \"$PROJ/lib/db.ts\"}, \"tool_response\": {}}"
done
"$BIN/attention" show | sed "s|$TMP|\$TMP|g"

echo
echo "-- PreToolUse: Bash rm -f lib/db.ts"
run PreToolUse '{"session_id": "demo", "hook_event_name": "PreToolUse", "tool_name": "Bash", "tool_input": {"command": "rm -f lib/db.ts"}}' |
  python3 -c 'import json, sys; d = json.load(sys.stdin)["hookSpecificOutput"]; print("permissionDecision:", d["permissionDecision"]); print(d["permissionDecisionReason"])'
