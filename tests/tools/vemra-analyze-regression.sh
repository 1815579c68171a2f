#!/usr/bin/env bash
# Pins the results of offline analysis: `vemra analyze` over three simulated scenarios
# and one stored recording must give the rows kept in tests/tools/data/analyze, every
# score within 1e-5 relative and every state, status and time exactly, and two runs of
# the same input must give the same bytes. Faster arithmetic must not move a result.
set -euo pipefail
VEMRA=$1
DATA=$(cd "$(dirname "$0")/data/analyze" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_DOCUMENTS_DIR="$work/home/Documents"
mkdir -p "$HOME"
fail() { echo "FAIL: $*" >&2; exit 1; }

# same EXPECTED ACTUAL: equal row count and columns; numbers with a fraction may differ
# by 1e-5 of their size, everything else must be equal.
same() {
  awk -F, -v expected="$1" '
    NR == FNR { row[FNR] = $0; rows = FNR; next }
    {
      if (!(FNR in row)) { print "extra row " FNR; bad = 1; exit }
      n = split(row[FNR], e, ",")
      if (n != NF) { print "row " FNR ": " NF " columns, expected " n; bad = 1; exit }
      for (i = 1; i <= NF; ++i) {
        if ($i == e[i]) continue
        if (i > 2 && $i ~ /^-?[0-9.]+(e[-+]?[0-9]+)?$/ && e[i] ~ /\./) {
          d = $i - e[i]; if (d < 0) d = -d
          m = e[i] < 0 ? -e[i] : e[i]
          if (d <= 1e-5 * m) continue
        }
        print expected ": row " FNR ", column " i ": " $i ", expected " e[i]; bad = 1
        if (++shown == 5) exit
      }
    }
    END { if (!bad && FNR != rows) { print expected ": " FNR " rows, expected " rows; bad = 1 } exit bad }
  ' "$DATA/$1" "$2" || fail "$1 differs"
}

# check NAME ARGS...: two runs give the same bytes and the pinned rows.
check() {
  local name=$1
  shift
  "$VEMRA" analyze "$@" --mains "${MAINS:-60}" --out "$work/$name.a.csv" >/dev/null 2>&1 || fail "$name: analyze exited with $?"
  "$VEMRA" analyze "$@" --mains "${MAINS:-60}" --out "$work/$name.b.csv" >/dev/null 2>&1 || fail "$name: analyze exited with $?"
  cmp -s "$work/$name.a.csv" "$work/$name.b.csv" || fail "$name: two runs differ"
  same "$name.csv" "$work/$name.a.csv"
}

for scenario in focused relaxed mains-noise; do
  check "$scenario" --simulate --scenario "$scenario" --seconds 60 --seed 7
done
MAINS=50 check recording "$DATA/recording-20s.vpk"
echo "vemra analyze regression: 4 passed, 0 failed"
