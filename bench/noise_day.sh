#!/usr/bin/env bash
# What `tiltfit --noise` costs on a day of a six-axis IMU at 400 Hz (3.456e7 rows, 7 columns,
# about 2.5 GB), plain and gzip, against the parse-only yardstick over the same file
# (tiltfit_bench_parse) and zcat alone, and how close its figures come to the generator's model.
#
#   bash bench/noise_day.sh [build-dir] [hours]     (default: build 24)
#
# Prints one table: wall seconds and peak resident memory of each run, and the ratios the
# targets are stated in (tool / parse for plain, tool / zcat for gzip). Files go to $TMPDIR.
set -euo pipefail
build=${1:-build}
hours=${2:-24}
tmp=${TMPDIR:-/tmp}
csv="$tmp/tiltfit_noise_day.csv"
seconds=$((hours * 3600))
model=(--rate 400 --accel-white 2e-3 --accel-walk 3e-4 --accel-markov 5e-4,300
       --gyro-white 1.7e-4 --gyro-walk 2e-5 --gyro-markov 5e-5,300)
if [ ! -s "$csv" ]; then
  "$build/tiltfit_gen" --still "$seconds" "${model[@]}" --truth -o "$csv" 2> "$csv.truth"
fi
[ -s "$csv.gz" ] || gzip -1 -c "$csv" > "$csv.gz"

measure() {  # label, command...: prints "label wall_s peak_mb"
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$tmp/tiltfit_noise_time" "$@" > "$tmp/tiltfit_noise_out" 2>&1
  read -r wall kb < "$tmp/tiltfit_noise_time"
  printf '%s %s %s\n' "$label" "$wall" "$((kb / 1024))"
}

cat /dev/null > "$tmp/tiltfit_noise_rows"
measure parse "$build/bench/tiltfit_bench_parse" "$csv" >> "$tmp/tiltfit_noise_rows"
parse=$(sed -n 's/.* parse=\([0-9.]*\).*/\1/p' "$tmp/tiltfit_noise_out")
measure plain "$build/tiltfit" --noise "$csv" >> "$tmp/tiltfit_noise_rows"
cp "$tmp/tiltfit_noise_out" "$tmp/tiltfit_noise_report"
measure zcat sh -c "zcat '$csv.gz' > /dev/null" >> "$tmp/tiltfit_noise_rows"
measure gzip "$build/tiltfit" --noise "$csv.gz" >> "$tmp/tiltfit_noise_rows"

printf '%-8s %8s %8s %s\n' run wall_s peak_MB ratio
plain=$(awk '$1 == "plain" { print $2 }' "$tmp/tiltfit_noise_rows")
zcat=$(awk '$1 == "zcat" { print $2 }' "$tmp/tiltfit_noise_rows")
while read -r label wall mb; do
  ratio=""
  [ "$label" = plain ] && ratio=$(awk -v a="$wall" -v b="$parse" 'BEGIN { printf "%.2f x parse (%s s)", a / b, b }')
  [ "$label" = gzip ] && ratio=$(awk -v a="$wall" -v b="$zcat" 'BEGIN { printf "%.2f x zcat", a / b }')
  printf '%-8s %8s %8s %s\n' "$label" "$wall" "$mb" "$ratio"
done < "$tmp/tiltfit_noise_rows"
echo "figures (plain run) against the model:"
grep -E "white noise N|random walk K" "$tmp/tiltfit_noise_report" | head -12
grep -E "white|walk" "$csv.truth" | head -6
