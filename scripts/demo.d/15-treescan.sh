# Scan the bundled project with both scanners and compare them side by side. The graphs go
# to their own folder: the audit step reads the regex scanner's graph in .braid/.
set -euo pipefail
src/kestrune/bin/treescan --root examples/shop --out examples/shop/.braid/treescan/info_graph.json --compare
