#!/usr/bin/env bash
# Times the outputs beside the report against the calibration itself: for recordings of growing
# size, the classic calibration (the tool, end to end), the SVG plot of the smoothed axes and
# applying a calibration to the whole file (to /dev/null), with their ratios to the calibration.
#
#   bash bench/outputs.sh [build-dir] [sizes...]      (default: build, 1000000 10000000)
#
# Needs a build configured with -DTILTFIT_BUILD_BENCHMARKS=ON. Files go to $TMPDIR (default /tmp);
# TILTFIT_RUNS sets the runs per size (median reported). The calibration and the outputs are timed
# in alternation, so that a machine busy with other work slows both alike.
set -euo pipefail
build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000 10000000)
runs=${TILTFIT_RUNS:-5}
tmp=${TMPDIR:-/tmp}
params=(5 50 5e-4 1000 2e-3)

for exe in tiltfit tiltfit_gen bench/tiltfit_bench_outputs; do
  [ -x "$build/$exe" ] || { echo "missing $build/$exe: build with -DTILTFIT_BUILD_BENCHMARKS=ON" >&2; exit 1; }
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

printf '%10s %9s %9s %8s %8s %8s %11s %12s\n' samples "file MB" "calib s" "plot s" "plot kB" \
  "apply s" "plot/calib" "apply/calib"
for n in "${sizes[@]}"; do
  file="$tmp/tiltfit_e2e_$n.csv"
  transition=$((n / 40))
  rest=$(( (n - 7 * transition) / 6 ))
  [ -f "$file" ] || "$build/tiltfit_gen" --rest "$rest" --transition "$transition" --seed 7 -o "$file"
  mb=$(awk -v b="$(stat -c %s "$file")" 'BEGIN {printf "%.1f", b / 1048576}')
  calib="" plot="" kb="" apply=""
  for ((r = 0; r < runs; r++)); do
    start=$(date +%s.%N)
    "$build/tiltfit" "$file" "${params[@]}" > /dev/null 2>&1 || true
    calib+="$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {print b - a}') "
    line=$("$build/bench/tiltfit_bench_outputs" "$file" "${params[@]}")
    plot+="$(echo "$line" | field plot) "
    kb=$(echo "$line" | field plot_kb)
    apply+="$(echo "$line" | field apply) "
  done
  c=$(echo "$calib" | median)
  p=$(echo "$plot" | median)
  a=$(echo "$apply" | median)
  printf '%10s %9s %9.3f %8.4f %8s %8.3f %11.3f %12.2f\n' "$n" "$mb" "$c" "$p" "$kb" "$a" \
    "$(awk -v x="$p" -v y="$c" 'BEGIN {print x / y}')" "$(awk -v x="$a" -v y="$c" 'BEGIN {print x / y}')"
done
