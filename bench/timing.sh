# Timing helpers the benchmark scripts share (sourced, not run).

# The wall time of a command, to the millisecond, its output dropped.
wall() { local TIMEFORMAT=%3R; { time "$@" > /dev/null 2>&1; } 2>&1; }
# The best and the middle of the times given: "best median".
best_median() { printf '%s\n' "$@" | sort -n | awk '{ t[NR] = $1 } END { printf "%s %s", t[1], t[int((NR + 1) / 2)] }'; }
# a / b to two places (0 when b is 0).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
