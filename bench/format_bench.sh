#!/usr/bin/env bash
# Format change benchmark. On a generated 44.1 kHz 16-bit stereo WAVE file (256 MiB of audio, or
# MIB MiB), side by side: cp of the file, and cp followed by `sync` of the copy (every result of
# the format change is flushed to the disk before it is renamed into place: that flushed copy is
# the yardstick, "x flushed cp"), sox with its fastest settings (quick rate, no dither), and
# `quillon format`, for 44.1 kHz stereo 16-bit -> 22.05 kHz mono 8-bit and -> 11.025 kHz stereo
# 16-bit. Wall time is the median of RUNS runs; peak RSS is the largest "Maximum resident set
# size" that /usr/bin/time -v reports. The target for the first change: at most 1.0 x the
# flushed copy, under 16 MiB.
#
# Usage: bench/format_bench.sh            (builds a Release host in build/release)
#        QUILLON=/path/to/quillon BENCH_DIR=/big/disk RUNS=5 MIB=1024 bench/format_bench.sh
# Needs about 3.5 times the file in BENCH_DIR. Nothing here is a pass/fail test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$root/build/bench-format}
runs=${RUNS:-3}

if [ -z "${QUILLON:-}" ]; then
  cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
  cmake --build "$root/build/release" -j2 --target quillon_cli >/dev/null
  QUILLON=$root/build/release/quillon
fi
for tool in sox python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "format_bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

mkdir -p "$work"
# The library's temporary directory on the same filesystem as the files, as on a usual system.
export TMPDIR=$work
mib=${MIB:-256}
src=$work/big-$mib.wav
size=$((mib << 20))
if [ ! -f "$src" ] || [ "$(stat -c %s "$src")" -ne $((size + 44)) ]; then
  echo "generating $src ($mib MiB of 44.1 kHz 16-bit stereo noise)" >&2
  python3 - "$src" "$size" <<'EOF'
import os, struct, sys
path, n = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 36 + n) + b"WAVE")
    f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16))
    f.write(b"data" + struct.pack("<I", n))
    block = os.urandom(1 << 20)
    for _ in range(n >> 20):
        f.write(block)
EOF
fi
out=$work/out.wav

# measure NAME COMMAND...: prints "median_seconds peak_rss_kib".
measure() {
  local times=() rss=0 i log=$work/time.log
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    sync
    /usr/bin/time -v -o "$log" "$@" >/dev/null 2>&1 || { echo "format_bench: failed: $*" >&2; cat "$log" >&2; exit 1; }
    local wall kib
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (j = 1; j <= n; j++) s = s * 60 + p[j]; print s}' "$log")
    kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    times+=("$wall")
    [ "$kib" -gt "$rss" ] && rss=$kib
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  echo "$median $rss"
}

declare -a rows
add_row() {  # label task command...
  local label=$1 task=$2; shift 2
  local r
  r=$(measure "$@")
  rows+=("$label|$task|$r")
  echo "  $label, $task: $r" >&2
}

echo "running each command $runs times" >&2
add_row "cp" "copy" cp "$src" "$out"
add_row "cp + sync" "copy, flushed" sh -c 'cp "$1" "$2" && sync "$2"' sh "$src" "$out"
add_row "sox" "-> 22.05k mono 8" sox -D -V1 "$src" -b 8 -c 1 "$out" rate -q 22050
add_row "quillon" "-> 22.05k mono 8" "$QUILLON" format "$src" --rate 22050 --channels 1 --bits 8 -o "$out"
add_row "sox" "-> 11.025k stereo 16" sox -D -V1 "$src" "$out" rate -q 11025
add_row "quillon" "-> 11.025k stereo 16" "$QUILLON" format "$src" --rate 11025 -o "$out"
rm -f "$out" "$work/time.log"

cp_time=$(echo "${rows[1]}" | cut -d'|' -f3 | cut -d' ' -f1)
echo "load: $(uptime)"
printf '\n%-10s %-22s %10s %16s %14s\n' "tool" "task" "seconds" "x flushed cp" "peak RSS MiB"
for row in "${rows[@]}"; do
  IFS='|' read -r label task r <<<"$row"
  read -r secs kib <<<"$r"
  printf '%-10s %-22s %10.2f %16.2f %14.1f\n' "$label" "$task" "$secs" \
    "$(awk -v a="$secs" -v b="$cp_time" 'BEGIN {print (b > 0) ? a / b : 0}')" \
    "$(awk -v k="$kib" 'BEGIN {print k / 1024}')"
done
