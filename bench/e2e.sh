#!/usr/bin/env bash
# End-to-end benchmark: generates recordings of growing size, runs the tool on each and prints two
# tables, as medians over the runs.
#
# Time: stage times, total, and the speed-up against the reference path (stream reader and
# from-scratch window search), the latter only up to the size where it stays short. "analysis" is
# what the still stretches, the refined fit and the quality figures add to the core's stages ("+%"
# of their total); "tool s" is the classic command's wall time and "auto s" that of
# `tiltfit --auto` ("ratio" the one over the other).
#
# Memory and the yardstick: the classic command's peak resident memory ("peak MB", and per sample
# "B/sample"), its minor page faults, the same peak for --auto, and a parse-only pass over the same
# file (tiltfit_bench_parse: pread into a buffer a thread and std::from_chars on every field,
# nothing kept), timed on one thread ("parse1 s") and on the reader's threads ("parse s"). The
# reader's stage ("read/parse") and the classic command ("tool/parse") are quoted as multiples of
# the latter: how far the reader is from the speed of parsing.
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

for exe in tiltfit tiltfit_gen bench/tiltfit_bench_stages bench/tiltfit_bench_parse bench/tiltfit_bench_run; do
  [ -x "$build/$exe" ] || { echo "missing $build/$exe: build with -DTILTFIT_BUILD_BENCHMARKS=ON" >&2; exit 1; }
done

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { sed -n "s/.*\<$1=\([0-9.]*\).*/\1/p"; }
med() { echo "$1" | tr ' ' '\n' | grep -v '^$' | median; }

times=()
memory=()
for n in "${sizes[@]}"; do
  file="$tmp/tiltfit_e2e_$n.csv"
  transition=$((n / 40))
  rest=$(( (n - 7 * transition) / 6 ))
  [ -f "$file" ] || "$build/tiltfit_gen" --rest "$rest" --transition "$transition" --seed 7 -o "$file"
  mb=$(awk -v b="$(stat -c %s "$file")" 'BEGIN {printf "%.1f", b / 1048576}')
  declare -A col=()
  for key in read filter search fit total analysis tool auto peak minflt auto_peak parse1 parse; do col[$key]=""; done
  for ((r = 0; r < runs; r++)); do
    line=$("$build/bench/tiltfit_bench_stages" "$file" "${params[@]}")
    for key in read filter search fit total analysis; do col[$key]+="$(echo "$line" | field "$key") "; done
    line=$("$build/bench/tiltfit_bench_run" "$build/tiltfit" "$file" "${params[@]}")
    col[tool]+="$(echo "$line" | field wall) "
    col[peak]+="$(echo "$line" | field peak_mb) "
    col[minflt]+="$(echo "$line" | field minflt) "
    line=$("$build/bench/tiltfit_bench_run" "$build/tiltfit" --auto "$file")
    col[auto]+="$(echo "$line" | field wall) "
    col[auto_peak]+="$(echo "$line" | field peak_mb) "
    line=$("$build/bench/tiltfit_bench_parse" "$file")
    col[parse1]+="$(echo "$line" | field parse1) "
    col[parse]+="$(echo "$line" | field parse) "
  done
  declare -A m=()
  for key in "${!col[@]}"; do m[$key]=$(med "${col[$key]}"); done
  ref="-"
  speedup="-"
  if [ "$n" -le "$reference_limit" ]; then
    ref=$("$build/bench/tiltfit_bench_stages" "$file" --reference "${params[@]}" | field total)
    speedup=$(awk -v r="$ref" -v t="${m[total]}" 'BEGIN {printf "%.0fx", r / t}')
  fi
  extra=$(awk -v a="${m[analysis]}" -v t="${m[total]}" 'BEGIN {printf "%.0f", 100 * a / t}')
  ratio=$(awk -v a="${m[auto]}" -v t="${m[tool]}" 'BEGIN {printf "%.2f", a / t}')
  times+=("$(printf '%10s %9s %7.3f %7.3f %7.3f %7.4f %8.3f %8.4f %6s %8.3f %8.3f %6s %9s %8s' "$n" "$mb" \
    "${m[read]}" "${m[filter]}" "${m[search]}" "${m[fit]}" "${m[total]}" "${m[analysis]}" "$extra" \
    "${m[tool]}" "${m[auto]}" "$ratio" "$ref" "$speedup")")
  memory+=("$(awk -v n="$n" -v peak="${m[peak]}" -v flt="${m[minflt]}" -v ap="${m[auto_peak]}" \
    -v p1="${m[parse1]}" -v p="${m[parse]}" -v rd="${m[read]}" -v tool="${m[tool]}" 'BEGIN {
      printf "%10s %8.0f %9.1f %9d %8.0f %9.1f %8.3f %8.3f %10.2f %10.2f", n, peak,
             peak * 1048576 / n, flt, ap, ap * 1048576 / n, p1, p, rd / p, tool / p }')")
done

printf '%10s %9s %7s %7s %7s %7s %8s %8s %6s %8s %8s %6s %9s %8s\n' samples "file MB" read filter search fit total analysis "+%" "tool s" "auto s" ratio "ref s" speedup
printf '%s\n' "${times[@]}"
echo
printf '%10s %8s %9s %9s %8s %9s %8s %8s %10s %10s\n' samples "peak MB" "B/sample" "minflt" "auto MB" "auto B/s" "parse1 s" "parse s" "read/parse" "tool/parse"
printf '%s\n' "${memory[@]}"
