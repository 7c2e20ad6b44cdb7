#!/usr/bin/env bash
# End-to-end benchmark: generates recordings of growing size, runs the tool on each and prints a
# table of stage times, total, peak memory and the speed-up against the reference path (stream
# reader and from-scratch window search), the latter only up to the size where it stays short.
# "analysis" is what the still stretches, the refined fit and the quality figures add to the
# core's stages ("+%" of their total); "auto s" times `tiltfit --auto` against the classic run.
#
#   bash bench/e2e.sh [build-dir] [sizes...]      (default: build, 10000 100000 1000000 10000000)
#
# Needs a build configured with -DTILTFIT_BUILD_BENCHMARKS=ON. Files go to $TMPDIR (default /tmp).
set -euo pipefail
build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 1000000 10000000)
reference_limit=${TILTFIT_REFERENCE_LIMIT:-1000000}   # largest size timed on the reference path
runs=${TILTFIT_RUNS:-5}                                # runs per size; the median is reported
tmp=${TMPDIR:-/tmp}
params=(5 50 5e-4 1000 2e-3)

for exe in tiltfit tiltfit_gen bench/tiltfit_bench_stages; do
  [ -x "$build/$exe" ] || { echo "missing $build/$exe: build with -DTILTFIT_BUILD_BENCHMARKS=ON" >&2; exit 1; }
done

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

printf '%10s %9s %7s %7s %7s %7s %8s %8s %6s %8s %8s %6s %8s %9s %8s\n' samples "file MB" read filter search fit total analysis "+%" "tool s" "auto s" ratio "peak MB" "ref s" speedup
for n in "${sizes[@]}"; do
  file="$tmp/tiltfit_e2e_$n.csv"
  transition=$((n / 40))
  rest=$(( (n - 7 * transition) / 6 ))
  [ -f "$file" ] || "$build/tiltfit_gen" --rest "$rest" --transition "$transition" --seed 7 -o "$file"
  mb=$(awk -v b="$(stat -c %s "$file")" 'BEGIN {printf "%.1f", b / 1048576}')
  declare -A col=()
  for key in read filter search fit total analysis peak_mb; do col[$key]=""; done
  tool=""
  auto=""
  for ((r = 0; r < runs; r++)); do
    line=$("$build/bench/tiltfit_bench_stages" "$file" "${params[@]}")
    for key in read filter search fit total analysis peak_mb; do col[$key]+="$(echo "$line" | field "$key") "; done
    start=$(date +%s.%N)
    "$build/tiltfit" "$file" "${params[@]}" > /dev/null 2>&1 || true
    tool+="$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {print b - a}') "
    start=$(date +%s.%N)
    "$build/tiltfit" --auto "$file" > /dev/null 2>&1 || true
    auto+="$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {print b - a}') "
  done
  med() { echo "$1" | tr ' ' '\n' | grep -v '^$' | median; }
  total=$(med "${col[total]}")
  ref="-"
  speedup="-"
  if [ "$n" -le "$reference_limit" ]; then
    ref=$("$build/bench/tiltfit_bench_stages" "$file" --reference "${params[@]}" | field total)
    speedup=$(awk -v r="$ref" -v t="$total" 'BEGIN {printf "%.0fx", r / t}')
  fi
  analysis=$(med "${col[analysis]}")
  extra=$(awk -v a="$analysis" -v t="$total" 'BEGIN {printf "%.0f", 100 * a / t}')
  ratio=$(awk -v a="$(med "$auto")" -v t="$(med "$tool")" 'BEGIN {printf "%.2f", a / t}')
  printf '%10s %9s %7.3f %7.3f %7.3f %7.4f %8.3f %8.4f %6s %8.3f %8.3f %6s %8.0f %9s %8s\n' "$n" "$mb" \
    "$(med "${col[read]}")" "$(med "${col[filter]}")" "$(med "${col[search]}")" "$(med "${col[fit]}")" \
    "$total" "$analysis" "$extra" "$(med "$tool")" "$(med "$auto")" "$ratio" "$(med "${col[peak_mb]}")" "$ref" "$speedup"
done
