#!/usr/bin/env bash
# Codec benchmark. On a generated 10-minute 44.1 kHz 16-bit stereo WAVE file, side by side in one
# run: IMA ADPCM encode and decode, MS ADPCM encode and decode, A-law encode and MP3 decode, each
# by `quillon convert`, ffmpeg and sox doing the same conversion. Wall time is the median of RUNS
# runs; peak RSS is the largest "Maximum resident set size" /usr/bin/time -v reports. Then the
# frame search behind 100 MB of non-audio bytes. Nothing here is a pass/fail test.
#
# Usage: bench/codec_bench.sh        (builds a Release host and core in build/release-codec)
#        BUILD_DIR=/some/build BENCH_DIR=/big/disk RUNS=5 bench/codec_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release-codec}
work=${BENCH_DIR:-$root/build/bench-codec}
runs=${RUNS:-3}

for tool in sox ffmpeg lame python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "codec_bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target quillon_cli quillon_core >/dev/null
quillon=$build/quillon
mkdir -p "$work"
export TMPDIR=$work

src=$work/ten-minutes.wav
if [ ! -f "$src" ]; then
  echo "generating $src (10 minutes of 44.1 kHz 16-bit stereo music-like signal)" >&2
  sox -n -r 44100 -c 2 -b 16 "$src" synth 600 sine 220-880 sine 330-1320 pinknoise vol 0.3 2>/dev/null
fi
# The compressed inputs of the decode rows, made once by ffmpeg and lame.
[ -f "$work/ima.wav" ] || ffmpeg -nostdin -loglevel error -y -i "$src" -acodec adpcm_ima_wav "$work/ima.wav"
[ -f "$work/ms.wav" ] || ffmpeg -nostdin -loglevel error -y -i "$src" -acodec adpcm_ms "$work/ms.wav"
[ -f "$work/in.mp3" ] || lame --quiet --cbr -b 128 "$src" "$work/in.mp3"

# Codec positions in the catalogue, by the drivers' names.
codec() { "$quillon" codecs | awk -v name="$1" '/^codec/ && index($0, name) {sub(":", "", $2); print $2; exit}'; }
ima=$(codec "IMA ADPCM"); ms=$(codec "MS ADPCM"); g711=$(codec "G.711"); mp3=$(codec "MPEG Layer-3")

out=$work/out.wav
measure() {  # command...: prints "median_seconds peak_rss_kib"
  local times=() rss=0 i log=$work/time.log
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    /usr/bin/time -v -o "$log" "$@" >/dev/null 2>&1 || { echo "codec_bench: failed: $*" >&2; cat "$log" >&2; exit 1; }
    local wall kib
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (j = 1; j <= n; j++) s = s * 60 + p[j]; print s}' "$log")
    kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
    times+=("$wall")
    [ "$kib" -gt "$rss" ] && rss=$kib
  done
  echo "$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}') $rss"
}

declare -a rows
row() {  # task tool command...
  local task=$1 tool=$2; shift 2
  local r; r=$(measure "$@")
  rows+=("$task|$tool|$r")
  echo "  $task, $tool: $r" >&2
}


echo "running each command $runs times" >&2
row "IMA ADPCM encode" quillon "$quillon" convert "$src" "$out" --codec "$ima"
row "IMA ADPCM encode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" -acodec adpcm_ima_wav "$out"
row "IMA ADPCM encode" sox sox -D -V1 "$src" -e ima-adpcm "$out"
row "IMA ADPCM decode" quillon "$quillon" convert "$work/ima.wav" "$out" --codec "$ima"
row "IMA ADPCM decode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$work/ima.wav" -acodec pcm_s16le "$out"
row "IMA ADPCM decode" sox sox -D -V1 "$work/ima.wav" -e signed-integer -b 16 "$out"
row "MS ADPCM encode" quillon "$quillon" convert "$src" "$out" --codec "$ms"
row "MS ADPCM encode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" -acodec adpcm_ms "$out"
row "MS ADPCM encode" sox sox -D -V1 "$src" -e ms-adpcm "$out"
row "MS ADPCM decode" quillon "$quillon" convert "$work/ms.wav" "$out" --codec "$ms"
row "MS ADPCM decode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$work/ms.wav" -acodec pcm_s16le "$out"
row "MS ADPCM decode" sox sox -D -V1 "$work/ms.wav" -e signed-integer -b 16 "$out"
row "A-law encode" quillon "$quillon" convert "$src" "$out" --codec "$g711"
row "A-law encode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" -acodec pcm_alaw "$out"
row "A-law encode" sox sox -D -V1 "$src" -e a-law "$out"
row "MP3 decode" quillon "$quillon" convert "$work/in.mp3" "$out" --codec "$mp3"
row "MP3 decode" ffmpeg ffmpeg -nostdin -loglevel error -y -i "$work/in.mp3" "$out"
row "MP3 decode" sox sox -D -V1 "$work/in.mp3" "$out"
rm -f "$out" "$work/time.log"

printf '\n%-18s %-8s %9s %14s\n' "conversion" "tool" "seconds" "peak RSS MiB"
for r in "${rows[@]}"; do
  IFS='|' read -r task tool m <<<"$r"
  read -r secs kib <<<"$m"
  printf '%-18s %-8s %9.2f %14.1f\n' "$task" "$tool" "$secs" "$(awk -v k="$kib" 'BEGIN {print k / 1024}')"
done

# The frame search, through the core itself.
echo
g++ -O2 -std=c++17 -I"$root/include" -I"$root/src" "$root/bench/frame_search_bench.cpp" "$build/libquillon_core.a" \
  $(pkg-config --libs alsa libmpg123) -lpthread -ldl -o "$work/frame_search_bench"
"$work/frame_search_bench" "$work"
