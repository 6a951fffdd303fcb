#!/usr/bin/env bash
# Times opening a folder library of 100,000 files (40,000 RAW+JPEG pairs, 10,000 lone JPEGs,
# 10,000 XMP sidecars; make_camera_tree) as a program does (`open_library`: open and list every
# item), side by side with its peers, in alternating runs:
#   - the first opening (no index yet: every file is read) against
#     `exiftool -fast2 -r -DateTimeOriginal -GPSLatitude -GPSLongitude -XMP:Rating` over the
#     tree (target: at least 10 times faster);
#   - opening it again unchanged (the index answers; no image file is read) against
#     `find DIR -type f -printf '%s %T@ %i\n'` (target: at most 2 times as long);
# and the peak resident size of the first opening (target: at most 300 MB).
#
# usage: bench/folder_library_vs_find.sh [BUILD_DIR]
#   BUILD_DIR   a Release build with open_library and make_camera_tree (default build/benchrel)
# environment: RUNS (timed pairs, default 5), PAIRS (default 40000),
#   TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 40 pairs, one run; checks that every
#   step works, the figures mean nothing
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build/benchrel}")
smoke=${TWINSLIM_BENCH_SMOKE:-0}
[[ $smoke == 0 ]] && smoke=""
pick() { if [[ -n $smoke ]]; then echo "$2"; else echo "$1"; fi; }
runs=${RUNS:-$(pick 5 1)}
pairs=${PAIRS:-$(pick 40000 40)}
opener="$build/bench/open_library"
generator="$build/bench/make_camera_tree"
for tool in "$opener" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target open_library make_camera_tree" >&2; exit 2; }
done
command -v exiftool >/dev/null || { echo "exiftool is missing (apt-get install libimage-exiftool-perl)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/folder-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/Pictures"
echo "Writing $pairs pairs with lone JPEGs and sidecars…" >&2
"$generator" "$tree" "$pairs"
echo "$(find "$tree" -type f | wc -l) files, $(du -sh "$tree" | cut -f1)" >&2
# The trash and settings of this run stay in the work folder.
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"

first() { rm -rf "$tree/.photolib"; "$opener" "$tree"; }
again() { "$opener" "$tree"; }
exif() { exiftool -fast2 -r -DateTimeOriginal -GPSLatitude -GPSLongitude -XMP:Rating "$tree"; }
list() { find "$tree" -type f -printf '%s %T@ %i\n'; }

# Every item must be seen: a pair is one item, a lone JPEG another.
items=$(first | awk '{ print $1 }')
expected=$((pairs + pairs / 4))
if [[ $items != "$expected" ]]; then
    echo "expected $expected items, open_library saw $items" >&2
    exit 1
fi

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.5f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Alternating runs, so that a change in the machine's speed hits both alike.
pairwise() { # NAME_A FUNC_A NAME_B FUNC_B RATIO_LABEL (ratio is A / B)
    local a_times=() b_times=() ratios=() t0 t1 t2 a b
    for ((i = 1; i <= runs; i++)); do
        t0=$EPOCHREALTIME; "$2" >/dev/null 2>&1; t1=$EPOCHREALTIME
        "$4" >/dev/null 2>&1; t2=$EPOCHREALTIME
        a=$(elapsed "$t0" "$t1") b=$(elapsed "$t1" "$t2")
        a_times+=("$a") b_times+=("$b")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    done
    echo "$1 (median of $runs): $(median "${a_times[@]}") s"
    echo "$3 (median of $runs): $(median "${b_times[@]}") s"
    echo "ratio $5 (median of pairs): $(median "${ratios[@]}")"
}
pairwise "first opening" first "exiftool -fast2" exif "first opening / exiftool"
again >/dev/null
pairwise "opening again" again "find" list "opening again / find"
rm -rf "$tree/.photolib"
peak=$( { /usr/bin/time -f '%M' "$opener" "$tree" >/dev/null; } 2>&1 | tail -1)
echo "peak resident size of the first opening: $((peak / 1024)) MB"
