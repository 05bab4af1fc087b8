#!/usr/bin/env bash
# The main job on the bundled example project: each module adds a step in scripts/demo.d/,
# run in name order from the repository root.
set -euo pipefail
cd "$(dirname "$0")/.."
for step in scripts/demo.d/*.sh; do
  [ -e "$step" ] || continue
  echo "== $(basename "$step" .sh)"
  bash "$step"
  echo
done
