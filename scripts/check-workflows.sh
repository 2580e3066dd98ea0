#!/bin/sh
# Validates every GitHub Actions workflow in .github/workflows against GitHub's
# workflow schema with action-validator, fetched from the npm registry by npx (a
# pinned version). Needs Node.js with npx; fails without it.
set -eu
cd "$(dirname "$0")/.."
validator="@action-validator/cli@0.6.0"

command -v npx >/dev/null 2>&1 || {
    echo "check-workflows: FAILED: npx not found; install Node.js (which brings npm and npx)" >&2
    exit 1
}

found=0
for workflow in .github/workflows/*.yml .github/workflows/*.yaml; do
    [ -f "$workflow" ] || continue
    found=1
    echo "check-workflows: $workflow"
    npx --yes "$validator" "$workflow" || {
        echo "check-workflows: FAILED: $workflow" >&2
        exit 1
    }
done
[ "$found" -eq 1 ] || { echo "check-workflows: FAILED: no workflow found" >&2; exit 1; }
echo "check-workflows: passed"
