# Audit the bundled example project from the graph the scanner step wrote.
set -euo pipefail
src/kestrune/bin/audit --root examples/shop --no-color
