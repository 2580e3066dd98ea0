#!/bin/sh
# Validates every GitHub Actions workflow in .github/workflows against GitHub's
# workflow schema with action-validator, fetched from the npm registry by npx (a
# pinned version). Needs Node.js with npx; fails without it.
set -eu
cd "$(dirname "$0")/.."
validator="@action-validator/cli@0.6.0"
. scripts/lib.sh

command -v npx >/dev/null 2>&1 || fail "npx not found; scripts/install-deps.sh installs it"

found=0
for workflow in .github/workflows/*.yml .github/workflows/*.yaml; do
    [ -f "$workflow" ] || continue
    found=1
    echo "check-workflows: $workflow"
    npx --yes "$validator" "$workflow" || fail "$workflow"
done
[ "$found" -eq 1 ] || fail "no workflow found"
echo "check-workflows: passed"
