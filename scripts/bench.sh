#!/usr/bin/env bash
# What a run of clockdrift costs. Prints one table:
#   1. a full 100 s run on virtual time (clockdrift-sim): wall and CPU time, median of 21 runs;
#   2. the platform calls in that run;
#   3. on virtual time, from the last data byte played to the end readings, for three cursor steps;
#   4. a real-time 100 s run of the Linux clockdrift: CPU, voluntary context switches, peak memory;
#   5. clockdrift.exe under Wine beside silence_stream.exe, which only streams silence through the
#      same player: the same figures for both, measured side by side in one run, and their ratio.
# Parts 4 and 5 take 100 s each; --quick leaves them out.
#
# Usage: scripts/bench.sh [--quick]
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
quick=false
[[ ${1:-} == --quick ]] && quick=true

echo "building (presets dev and release) ..." >&2
for preset in dev release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 >/dev/null
done
sim=build/dev/clockdrift-sim
measure=build/dev/tools/run_measured

# field NAME LINE: the value of NAME=value in LINE.
field() { sed -E "s/.*(^| )$1=([^ ]*).*/\2/" <<<"$2"; }
row() { printf '| %-62s | %14s | %-22s |\n' "$1" "$2" "$3"; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f ms", s * 1000 }'; }

rows=()
add() { rows+=("$(row "$@")"); }

# 1. Virtual time.
virtual=$("$measure" 21 "$sim")
add "virtual-time 100 s run: wall (median of 21)" "$(ms "$(field wall_s "$virtual")")" "<= 50 ms"
add "virtual-time 100 s run: CPU (median of 21)" "$(ms "$(field cpu_s "$virtual")")" ""

# 2. Platform calls, from the simulated card's own counts.
stats=$("$sim" --stats 2>&1 >/dev/null | tr '\n' ' ')
waits=$(field waits "$stats")
wakes=$(field wakes "$stats")
notifications=$(field notifications "$stats")
add "waits" "$waits" ""
add "wakes per notification" "$(awk -v a="$wakes" -v b="$notifications" 'BEGIN { printf "%.3f", a / b }')" ""
add "waits per notification" "$(awk -v a="$waits" -v b="$notifications" 'BEGIN { printf "%.3f", a / b }')" "<= 1.05"
add "locks" "$(field locks "$stats")" ""
add "cursor reads" "$(field cursor-reads "$stats")" ""
add "status reads" "$(field status-reads "$stats")" ""

# 3. End latency. Playback starts at virtual time 0 (nothing waits before the seventh push) and the
# nominal card plays the 100 s of data in exactly 100 s, so whatever time has passed beyond 100 s
# when the run ends lies between the last data byte and the end readings.
for step in 0 10 31.25; do
  s=$("$sim" --granularity "$step" --stats 2>&1 >/dev/null | tr '\n' ' ')
  late_ns=$(($(field virtual-ns "$s") - 100000000000))
  add "last data byte to end readings, cursor step $step ms" \
    "$(awk -v n="$late_ns" 'BEGIN { printf "%.3f ms", n / 1e6 }')" "<= one step"
done

# 4. The Linux build in real time.
if ! $quick; then
  echo "a real-time 100 s run of clockdrift ..." >&2
  native=$("$measure" 1 build/release/clockdrift)
  add "native real-time 100 s run: CPU (user + system)" "$(ms "$(field cpu_s "$native")")" "<= 20 ms"
  add "native real-time 100 s run: voluntary context switches" "$(field voluntary_switches "$native")" ""
  add "native real-time 100 s run: peak memory" "$(field peak_kib "$native") KiB" ""
fi

# 5. Under Wine.
if ! $quick; then
  echo "clockdrift.exe and silence_stream.exe under Wine, side by side, 100 s ..." >&2
  # shellcheck source=scripts/wine/bench_wine.sh
  source scripts/wine/bench_wine.sh
  wine_rows
fi

printf '%s\n' "$(row measure value target)" "$(row -------- ----- ------)"
printf '%s\n' "${rows[@]}"
