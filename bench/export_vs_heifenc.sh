#!/usr/bin/env bash
# Times `photolib export --format heic` of 20 generated 12 MP camera JPEGs (imported into a
# temporary library as one album) against heif-enc (libheif-examples) converting the same 20
# JPEGs with the same settings: quality 0.5 (photolib's default, heif-enc's 50), x265 preset
# "faster" (photolib's), a 320-pixel thumbnail, and two conversions at a time, as photolib
# uses both cores.
#
# usage: bench/export_vs_heifenc.sh [--commands] [BUILD_DIR]
#   BUILD_DIR   a Release build with photolib and make_bench_jpegs (default build/benchrel)
#   --commands  only prepare the inputs, print the two commands and keep the work folder, to
#               time them with another tool
# environment: RUNS (timed runs of each, default 5), COUNT (pictures, default 20),
#   HEIFENC_PARAMS (default "-p preset=faster"; empty gives heif-enc's own default preset),
#   TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 2 pictures of 400 × 300, one
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
runs=${RUNS:-$(pick 5 1)}
count=${COUNT:-$(pick 20 2)}
width=$(pick 4000 400) height=$(pick 3000 300)
heifenc_params=${HEIFENC_PARAMS--p preset=faster}
photolib="$build/tools/photolib/photolib"
generator="$build/bench/make_bench_jpegs"
for tool in "$photolib" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target photolib make_bench_jpegs" >&2; exit 2; }
done
command -v heif-enc >/dev/null || { echo "heif-enc is missing (apt-get install libheif-examples)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/export-bench.XXXXXX")
$commands_only || trap 'rm -rf "$work"' EXIT

echo "Generating $count JPEGs of $width × $height pixels…" >&2
"$generator" "$work/jpegs" "$count" "$width" "$height"
library="$work/Bench.photolibrary"
export XDG_CONFIG_HOME="$work/config"
"$photolib" create "$library" >&2
"$photolib" --library "$library" import --album Bench "$work/jpegs" >&2

# Each run starts from an empty output folder, so photolib never has to number its names.
photolib_cmd="rm -rf '$work/out-photolib' && exec '$photolib' --library '$library' export --album Bench --format heic --quality 0.5 '$work/out-photolib'"
heifenc_cmd="rm -rf '$work/out-heifenc' && mkdir '$work/out-heifenc' && cd '$work/jpegs' && ls | xargs -P 2 -I{} heif-enc -q 50 $heifenc_params -t 320 -o '$work/out-heifenc/{}.heic' {} >/dev/null"

if $commands_only; then
    echo "photolib: sh -c \"$photolib_cmd\""
    echo "heif-enc: sh -c \"$heifenc_cmd\""
    echo "work folder (remove when done): $work"
    exit 0
fi

if [[ -z $smoke ]] && command -v hyperfine >/dev/null; then
    hyperfine --warmup 1 --runs "$runs" -n photolib "sh -c \"$photolib_cmd\"" \
        -n heif-enc "sh -c \"$heifenc_cmd\""
else
    # Alternating runs, so that a change in the machine's speed hits both alike.
    now() { echo "$EPOCHREALTIME"; }
    elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
    sh -c "$photolib_cmd" >/dev/null && sh -c "$heifenc_cmd" # warm-up
    a_times=() b_times=() ratios=()
    for ((i = 1; i <= runs; i++)); do
        t0=$(now); sh -c "$photolib_cmd" >/dev/null; t1=$(now)
        sh -c "$heifenc_cmd"; t2=$(now)
        a=$(elapsed "$t0" "$t1") b=$(elapsed "$t1" "$t2")
        a_times+=("$a") b_times+=("$b")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
        echo "run $i: photolib ${a} s, heif-enc ${b} s" >&2
    done
    median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
    echo "photolib export (median of $runs): $(median "${a_times[@]}") s"
    echo "heif-enc, 2 at a time (median of $runs): $(median "${b_times[@]}") s"
    echo "ratio photolib / heif-enc (median of pairs): $(median "${ratios[@]}")"
fi
# Both must have converted every picture.
for side in photolib heifenc; do
    made=$(find "$work/out-$side" -name '*.heic' -size +0 | wc -l)
    [[ $made == "$count" ]] || { echo "$side wrote $made HEIC files of $count" >&2; exit 1; }
done
echo "output: photolib $(du -sh "$work/out-photolib" | cut -f1), heif-enc $(du -sh "$work/out-heifenc" | cut -f1)"
