#!/usr/bin/env bash
# Prints the size of the test code against the product code and fails when
# the tests outgrow their budget. Lines are counted non-blank, without the
# lines that are only a // comment (or a # comment in scripts); test code is
# every C++ file under tests/ or named *_test.* / test_*, plus the shell and
# Python drivers under tests/. Product code is every other C++ file outside
# bench/ and fuzz/. The budget is 0.30; above LIMIT (0.35) this fails.
set -euo pipefail
cd "$(dirname "$0")/.."
LIMIT=${LIMIT:-0.35}
files() { git ls-files --cached --others --exclude-standard; }
pick() { grep "$@" || true; }
cpp() { files | pick -E '\.(cpp|cc|c|h|hpp)$'; }
count() { xargs -r cat 2>/dev/null | grep -c -v -E "$1" || true; }
tests=$(cpp | pick -E '(^|/)tests?/|_test\.|test_' | count '^\s*(//.*)?$')
drivers=$(files | pick -E '(^|/)tests?/.*\.(sh|py)$' | count '^\s*(#.*)?$')
product=$(cpp | pick -v -E '(^|/)tests?/|_test\.|test_|(^|/)bench/|(^|/)fuzz/' | count '^\s*(//.*)?$')
t=$((tests + drivers))
ratio=$(awk -v t="$t" -v c="$product" 'BEGIN { printf "%.2f", (c > 0 ? t / c : 0) }')
echo "test budget: $t test lines against $product product lines = $ratio (budget 0.30, limit $LIMIT)"
awk -v r="$ratio" -v l="$LIMIT" 'BEGIN { exit !(r <= l) }' || { echo "test budget: over the limit" >&2; exit 1; }
