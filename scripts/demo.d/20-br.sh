# br: scan the bundled project, answer one question, print the hook context.
set -euo pipefail
BR=src/kestrune/bin/br
$BR scan --root examples/shop
echo
$BR retrieve --query "Why does GET /api/orders return 500?" --top-files 5 --top-edges 5
echo
$BR prime --query "Make the checkout button show the order status" --top-files 5 --top-edges 5
