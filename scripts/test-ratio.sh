#!/bin/sh
# Prints the size of the tests against the size of the product, counted as
# non-blank lines that are not wholly comment, and fails when the tests pass
# the bound (default 0.40 of the product).
#   scripts/test-ratio.sh [BOUND]
# Product: daemon/ throttling/ host/ agent/ tools/. Tests: tests/ fuzz/.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
bound=${1:-0.40}

# C and C++ lose // and /* */ comments; shell, CMake and Python lose # lines.
count() {
  (cd "$top" && find "$@" -type f \( -name '*.cc' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \) 2>/dev/null |
    sort | xargs -r awk '
      FNR == 1 { block = 0; hash = FILENAME !~ /\.(cc|h)$/ }
      hash { if ($0 !~ /^[ \t]*(#|$)/) n++; next }
      {
        line = $0; code = ""
        while (line != "") {
          if (block) {
            e = index(line, "*/")
            if (e == 0) { line = ""; break }
            line = substr(line, e + 2); block = 0; continue
          }
          s = index(line, "/*"); c = index(line, "//")
          if (c > 0 && (s == 0 || c < s)) { code = code substr(line, 1, c - 1); break }
          if (s > 0) { code = code substr(line, 1, s - 1); line = substr(line, s + 2); block = 1; continue }
          code = code line; line = ""
        }
        if (code ~ /[^ \t]/) n++
      }
      END { print n + 0 }')
}

product=$(count daemon throttling host agent tools)
tests=$(count tests fuzz)
ratio=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.2f", p ? t / p : 0 }')
echo "product lines: $product"
echo "test lines:    $tests"
echo "ratio:         $ratio (bound $bound)"
awk -v t="$tests" -v p="$product" -v b="$bound" 'BEGIN { exit !(t <= b * p) }' || {
  echo "test-ratio: the tests are more than $bound of the product" >&2
  exit 1
}
