#!/usr/bin/env bash
# Times reading the signatures (EXIF original date, pixel size) of 100 exported pictures, 50 HEIC
# and 50 JPEG of 3000 × 2000 pixels, with `read_signatures` against
# `exiftool -fast2 -DateTimeOriginal -ImageWidth -ImageHeight` on the same files, both as whole
# process runs over all 100 files. The pictures are real exports: camera-like JPEGs
# (make_bench_jpegs) imported into a temporary library and exported by `photolib export`, once
# as HEIC and once as JPEG.
#
# usage: bench/signature_vs_exiftool.sh [--commands] [BUILD_DIR]
#   BUILD_DIR   a Release build with read_signatures, photolib and make_bench_jpegs
#               (default build/benchrel)
#   --commands  only prepare the inputs, print the two commands and keep the work folder, to
#               time them with another tool
# environment: RUNS (timed runs of each, default 21), COUNT (pictures per format, default 50),
#   TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 2 pictures per format of 300 × 200, one
#   timed run, no hyperfine; checks that every step works, the figures mean nothing
set -euo pipefail
cd "$(dirname "$0")/.."

commands_only=false
if [[ ${1:-} == --commands ]]; then
    commands_only=true
    shift
fi
build=$(realpath "${1:-build/benchrel}")
smoke=${TWINSLIM_BENCH_SMOKE:-0}
[[ $smoke == 0 ]] && smoke=""
pick() { if [[ -n $smoke ]]; then echo "$2"; else echo "$1"; fi; }
runs=${RUNS:-$(pick 21 1)}
count=${COUNT:-$(pick 50 2)}
width=$(pick 3000 300) height=$(pick 2000 200)
reader="$build/bench/read_signatures"
photolib="$build/tools/photolib/photolib"
generator="$build/bench/make_bench_jpegs"
for tool in "$reader" "$photolib" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target read_signatures photolib make_bench_jpegs" >&2; exit 2; }
done
command -v exiftool >/dev/null || { echo "exiftool is missing (apt-get install libimage-exiftool-perl)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/signature-bench.XXXXXX")
$commands_only || trap 'rm -rf "$work"' EXIT

echo "Generating $count JPEGs of $width × $height pixels and exporting them as HEIC and JPEG…" >&2
"$generator" "$work/camera" "$count" "$width" "$height"
library="$work/Bench.photolibrary"
export PHOTOLIB_LIBRARY="$library" XDG_CONFIG_HOME="$work/config"
"$photolib" create "$library" >&2
"$photolib" import --album Bench "$work/camera" >&2
mkdir -p "$work/exported/heic" "$work/exported/jpeg"
"$photolib" export --album Bench --format heic "$work/exported/heic" >&2
"$photolib" export --album Bench --format jpeg "$work/exported/jpeg" >&2
rm -rf "$work/camera"

cd "$work/exported"
files=(heic/* jpeg/*)
echo "${#files[@]} files, $(du -sh . | cut -f1)" >&2
reader_cmd=("$reader" "${files[@]}")
exiftool_cmd=(exiftool -fast2 -DateTimeOriginal -ImageWidth -ImageHeight "${files[@]}")

# Both must see the same dates and sizes; exiftool prints "2024:07:01 10:01:00", read_signatures
# the same instant in ISO 8601.
reader_dates=$("${reader_cmd[@]}" | awk -F'\t' '$3 != "-" && $4 > 0 { n++ } END { print n + 0 }')
exiftool_dates=$("${exiftool_cmd[@]}" 2>/dev/null | grep -c '^Date/Time Original' || true)
echo "files with date and size: read_signatures $reader_dates, exiftool dates $exiftool_dates" >&2
if [[ ${#files[@]} != $((2 * count)) || $reader_dates != "${#files[@]}" || $exiftool_dates != "${#files[@]}" ]]; then
    echo "expected a date and a size in each of $((2 * count)) exported files" >&2
    exit 1
fi

if $commands_only; then
    echo "read_signatures: cd '$work/exported' && '$reader' heic/* jpeg/*"
    echo "exiftool: cd '$work/exported' && exiftool -fast2 -DateTimeOriginal -ImageWidth -ImageHeight heic/* jpeg/*"
    echo "work folder (remove when done): $work"
    exit 0
fi

if [[ -z $smoke ]] && command -v hyperfine >/dev/null; then
    hyperfine -N --warmup 3 --runs "$runs" -n read_signatures "${reader_cmd[*]}" \
        -n exiftool "${exiftool_cmd[*]}"
else
    # Alternating runs, so that a change in the machine's speed hits both alike.
    elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.5f", b - a }'; }
    for _ in 1 2 3; do # warm-up
        "${reader_cmd[@]}" >/dev/null && "${exiftool_cmd[@]}" >/dev/null
    done
    a_times=() b_times=() ratios=()
    for ((i = 1; i <= runs; i++)); do
        t0=$EPOCHREALTIME; "${reader_cmd[@]}" >/dev/null; t1=$EPOCHREALTIME
        "${exiftool_cmd[@]}" >/dev/null; t2=$EPOCHREALTIME
        a=$(elapsed "$t0" "$t1") b=$(elapsed "$t1" "$t2")
        a_times+=("$a") b_times+=("$b")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1f", b / a }')")
    done
    median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
    echo "read_signatures, ${#files[@]} files (median of $runs): $(median "${a_times[@]}") s"
    echo "exiftool -fast2, ${#files[@]} files (median of $runs): $(median "${b_times[@]}") s"
    echo "ratio exiftool / read_signatures (median of pairs): $(median "${ratios[@]}")"
fi
