# brc-claude: the context the assistant would start with for one question about the bundled
# project (--dry-run prints it instead of starting claude). The graph is the one br scanned;
# without it, brc-claude would scan examples/shop first.
set -euo pipefail
src/kestrune/bin/brc-claude --dry-run --verbose -r examples/shop "How does checkout create an order and its invoice?"
