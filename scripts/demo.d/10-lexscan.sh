# Scan the bundled example project into its information graph and show the report.
set -euo pipefail
src/kestrune/bin/lexscan --root examples/shop --out examples/shop/.braid/info_graph.json
