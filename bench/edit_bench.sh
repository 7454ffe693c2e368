#!/usr/bin/env bash
# Edit benchmark: a 1 GiB 16-bit stereo WAVE file; cp (one read, one write: the floor), sox
# where it can do the same edit, and Quillon's synchronous edits with undo off and on. Prints
# wall-clock seconds and peak resident memory side by side. Not a test: nothing is asserted.
#
#   bench/edit_bench.sh [WORKDIR]      (default: ./edit-bench, needs about 5 GiB free)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$PWD/edit-bench}
build=$work/build
mkdir -p "$work/tmp"

# A release build of the library and the driver.
undef=$(grep -E '^[A-Za-z_]' "$root/src/exports.tab" | awk '{printf "-Wl,-u,%s ", $1}')
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF \
      "-DCMAKE_SHARED_LINKER_FLAGS=$undef" > "$work/cmake.log"
cmake --build "$build" -j2 --target quillon > "$work/build.log"
g++ -O2 -std=c++17 -I"$root/include" "$root/bench/edit_bench.cpp" -L"$build" -lquillon \
    -Wl,-rpath,"$build" -o "$work/edit_bench"

src=$work/source.wav
secs=6087   # 6087 s x 176,400 bytes/s = 1,073,746,800 bytes of audio
if [ ! -f "$src" ]; then
  echo "generating $src ..." >&2
  sox -n -r 44100 -c 2 -b 16 "$src" synth "$secs" sine 440 vol 0.5 pad 3 3
fi
size=$(stat -c %s "$src")
data=$((size - 44))
frame=4
at() { echo $(( ($1 * data / 100) / frame * frame )); }   # percent -> byte offset
s45=$(at 45); s55=$(at 55); s50=$(at 50)
clip=$work/clip.wav
"$work/edit_bench" "$work/tmp" 0 copy "$src" "$s45" "$s55" "$clip" > /dev/null

# run NAME COMMAND...: fresh copy of the source, then the timed command; prints "secs rssMiB"
fresh() { cp "$src" "$work/w.wav"; sync; }
measure() {
  local out
  out=$( { /usr/bin/time -f "TIME %e %M" "$@" > /dev/null; } 2>&1 | grep '^TIME' | tail -1)
  awk -v o="$out" 'BEGIN { split(o, a, " "); printf "%6.2f s %6.1f MiB", a[2], a[3] / 1024 }'
}

printf "%-22s %-22s %-22s %-22s\n" "edit (1 GiB, 16-bit stereo)" "sox" "quillon undo off" "quillon undo on"
fresh; printf "%-22s %-22s\n" "cp (floor)" "$(measure cp "$work/w.wav" "$work/w2.wav")"; rm -f "$work/w2.wav"
row() {  # label soxargs|- quillon-op args...
  local label=$1 soxargs=$2; shift 2
  local soxcol="n/a" q0 q1
  if [ "$soxargs" != "-" ]; then fresh; soxcol=$(measure sox "$work/w.wav" "$work/s.wav" $soxargs); rm -f "$work/s.wav"; fi
  fresh; q0=$(measure "$work/edit_bench" "$work/tmp" 0 "$@")
  fresh; q1=$(measure "$work/edit_bench" "$work/tmp" 1 "$@")
  printf "%-22s %-22s %-22s %-22s\n" "$label" "$soxcol" "$q0" "$q1"
}
sp() { awk -v b="$1" 'BEGIN { printf "%.4f", b / 176400 }'; }   # bytes -> seconds for sox
row "cut middle 10%"     "trim 0 =$(sp $s45) =$(sp $s55)" cut "$work/w.wav" "$s45" "$s55"
row "paste 10% clip"     "-"                               paste "$work/w.wav" "$s50" "$clip"
row "clear middle 10%"   "trim 0 =$(sp $s45) =$(sp $s55)" clear "$work/w.wav" "$s45" "$s55"
row "crop middle 10%"    "trim =$(sp $s45) =$(sp $s55)"   crop "$work/w.wav" "$s45" "$s55"
row "mute middle 10%"    "-"                               mute "$work/w.wav" "$s45" "$s55"
row "insert 10 s silence" "pad 10@$(sp $s50)"             insert "$work/w.wav" "$s50" 10000
row "trim silence (ends)" "silence 1 0 1% reverse silence 1 0 1% reverse" trim "$work/w.wav" 0 "$data"
fresh; echo "cancel latency (clear job, undo off): $("$work/edit_bench" "$work/tmp" 0 cancel "$work/w.wav" "$s45" "$s55") ms"
fresh; echo "cancel latency (clear job, undo on): $("$work/edit_bench" "$work/tmp" 1 cancel "$work/w.wav" "$s45" "$s55") ms"
rm -f "$work/w.wav"
