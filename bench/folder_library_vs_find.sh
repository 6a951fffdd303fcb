#!/usr/bin/env bash
# Times opening a folder library of 100,000 files (40,000 RAW+JPEG pairs, 10,000 lone JPEGs,
# 10,000 XMP sidecars; make_camera_tree), or of a tree given, as a program does (`open_library`:
# open and list every item), side by side with its peers, in alternating runs:
#   - the first opening (no index yet: every file is read) against
#     `exiftool -fast2 -r -DateTimeOriginal -GPSLatitude -GPSLongitude -XMP:Rating` over the
#     tree (target: at least 30 times faster);
#   - opening it again unchanged (the index answers; no image file is read) against
#     `find DIR -type f -printf '%s %T@ %i\n'` (target: at most 1.5 times as long);
# and the peak resident size of each (the first opening's target: at most 300 MB at 100,000
# files).
#
# usage: bench/folder_library_vs_find.sh [BUILD_DIR [TREE]]
#   BUILD_DIR   a Release build with open_library and make_camera_tree (default build/benchrel)
#   TREE        a camera tree made by make_camera_tree, reused as it is (its .photolib/ is
#               removed and made again); written into a temporary folder when not given
# environment: RUNS (timed pairs, default 5), FIRST_RUNS (timed pairs of first openings,
#   default RUNS; 0 times none), PAIRS (pairs of the tree written, default 40000; 400000 make a million
#   files, about 10 minutes), EXIFTOOL_EVERY (N: exiftool reads every Nth folder of the tree
#   only, in path order, and its time is scaled by all files over the files it read; default 1,
#   the whole tree), TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 40 pairs, one run;
#   checks that every step works, the figures mean nothing
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build/benchrel}")
given_tree=${2:-}
smoke=${TWINSLIM_BENCH_SMOKE:-0}
[[ $smoke == 0 ]] && smoke=""
pick() { if [[ -n $smoke ]]; then echo "$2"; else echo "$1"; fi; }
runs=${RUNS:-$(pick 5 1)}
first_runs=${FIRST_RUNS:-$runs}
pairs=${PAIRS:-$(pick 40000 40)}
every=${EXIFTOOL_EVERY:-1}
opener="$build/bench/open_library"
generator="$build/bench/make_camera_tree"
for tool in "$opener" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target open_library make_camera_tree" >&2; exit 2; }
done
command -v exiftool >/dev/null || { echo "exiftool is missing (apt-get install libimage-exiftool-perl)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/folder-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -n $given_tree ]]; then
    tree=$(realpath "$given_tree")
    [[ -d $tree ]] || { echo "no tree at $given_tree" >&2; exit 2; }
    # Every picture but a RAW is an item: a pair's JPEG or a lone JPEG.
    expected=$(find "$tree" -path "$tree/.photolib" -prune -o -type f -name '*.JPG' -print | wc -l)
else
    tree="$work/Pictures"
    echo "Writing $pairs pairs with lone JPEGs and sidecars…" >&2
    "$generator" "$tree" "$pairs"
    expected=$((pairs + pairs / 4))
fi
rm -rf "$tree/.photolib"
files=$(find "$tree" -type f | wc -l)
echo "$files files, $(du -sh "$tree" | cut -f1)" >&2
# The trash and settings of this run stay in the work folder.
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"

# exiftool's share of the tree: every folder, or every Nth folder holding files, in path order.
if [[ $every -gt 1 ]]; then
    mapfile -t sample < <(find "$tree" -path "$tree/.photolib" -prune -o -type f -printf '%h\n' | sort -u | awk -v n="$every" '(NR - 1) % n == 0')
    sampled=$(find "${sample[@]}" -maxdepth 1 -type f | wc -l)
    echo "exiftool reads one folder in ${every}: ${#sample[@]} folders, $sampled of $files files; its times are scaled by $files / $sampled" >&2
else
    sample=("$tree")
    sampled=$files
fi

peaks="$work/peaks"
first() { rm -rf "$tree/.photolib"; /usr/bin/time -f '%M' -a -o "$peaks.first" "$opener" "$tree"; }
again() { /usr/bin/time -f '%M' -a -o "$peaks.again" "$opener" "$tree"; }
exif() { exiftool -fast2 -r -DateTimeOriginal -GPSLatitude -GPSLongitude -XMP:Rating "${sample[@]}"; }
list() { find "$tree" -type f -printf '%s %T@ %i\n'; }

# Every item must be seen: a pair is one item, a lone JPEG another.
check_start=$EPOCHREALTIME
items=$(first | awk '{ print $1 }')
check_end=$EPOCHREALTIME
if [[ $items != "$expected" ]]; then
    echo "expected $expected items, open_library saw $items" >&2
    exit 1
fi
# The check's opening is a first opening too: its peak counts when none is timed.
if [[ $first_runs -gt 0 ]]; then rm -f "$peaks.first"; fi

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.5f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Alternating runs, so that a change in the machine's speed hits both alike.
pairwise() { # RUNS NAME_A FUNC_A NAME_B FUNC_B RATIO_LABEL SCALE_B (ratio is A / (B × SCALE_B))
    local a_times=() b_times=() ratios=() t0 t1 t2 a b
    for ((i = 1; i <= $1; i++)); do
        t0=$EPOCHREALTIME; "$3" >/dev/null 2>&1; t1=$EPOCHREALTIME
        "$5" >/dev/null 2>&1; t2=$EPOCHREALTIME
        a=$(elapsed "$t0" "$t1")
        b=$(awk -v t="$(elapsed "$t1" "$t2")" -v s="$7" 'BEGIN { printf "%.5f", t * s }')
        a_times+=("$a") b_times+=("$b")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    done
    echo "$2 (median of $1): $(median "${a_times[@]}") s"
    echo "$4 (median of $1): $(median "${b_times[@]}") s"
    echo "ratio $6 (median of pairs): $(median "${ratios[@]}")"
}
scale=$(awk -v a="$files" -v b="$sampled" 'BEGIN { printf "%.6f", a / b }')
exif_name="exiftool -fast2"
[[ $every -gt 1 ]] && exif_name="exiftool -fast2 (one folder in ${every}, times ×$scale)"
if [[ $first_runs -gt 0 ]]; then
    pairwise "$first_runs" "first opening" first "$exif_name" exif "first opening / exiftool" "$scale"
else
    echo "first opening: once, without exiftool (FIRST_RUNS=0): $(awk -v a="$check_start" -v b="$check_end" 'BEGIN { printf "%.3f", b - a }') s"
fi
again >/dev/null
rm -f "$peaks.again"
pairwise "$runs" "opening again" again "find" list "opening again / find" 1
max_mb() { sort -g "$1" | tail -1 | awk '{ printf "%d", $1 / 1024 }'; }
if [[ -s $peaks.first ]]; then
    echo "peak resident size of the first opening: $(max_mb "$peaks.first") MB"
fi
echo "peak resident size of opening again: $(max_mb "$peaks.again") MB"
