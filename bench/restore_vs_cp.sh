#!/usr/bin/env bash
# Times `twinslim-cli restore --all` of PAIRS replaced RAW+JPEG items whose originals are gone
# from the library (Recently Deleted emptied), so that each comes back from the backup folder
# (RAW + JPEG of each favourite, the JPEG of every other item; default 50 × (25 MB + 8 MB),
# half favourites), against the file work it cannot avoid: `cp` of the same backup bytes into
# one folder, then `sync` of what it wrote, since the restore flushes every file it adds to the
# library before the library refers to it. The library and the backup records are put back to
# their state after the ingest between runs (not timed).
#
# usage: bench/restore_vs_cp.sh [--commands] [BUILD_DIR]
#   BUILD_DIR   a Release build with twinslim-cli, photolib and make_ingest_bench
#               (default build/benchrel)
#   --commands  only prepare the inputs, print the reset and the two commands, keep the folder
# environment: RUNS (default 5), PAIRS (50), RAW_MB (25), JPEG_MB (8),
#   TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 2 pairs of 1 MB + 1 MB, one
#   timed run; checks that every step works, the figures mean nothing
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
pairs=${PAIRS:-$(pick 50 2)}
cli="$build/tools/twinslim-cli/twinslim-cli"
photolib="$build/tools/photolib/photolib"
generator="$build/bench/make_ingest_bench"
for tool in "$cli" "$photolib" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target twinslim-cli photolib make_ingest_bench" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/restore-bench.XXXXXX")
$commands_only || trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" PHOTOLIB_LIBRARY="$work/Bench.photolibrary"

echo "Building a library of $pairs pairs and slimming it…" >&2
"$generator" "$work" "$pairs" "${RAW_MB:-$(pick 25 1)}" "${JPEG_MB:-$(pick 8 1)}" >&2
mkdir -p "$work/backup" "$work/pristine"
"$cli" backup-folder "$work/backup" >/dev/null
"$cli" --yes ingest "$work/export" >"$work/ingest.out" 2>&1 ||
    { echo "the ingest failed:" >&2; tail -3 "$work/ingest.out" >&2; exit 1; }
"$photolib" trash empty >/dev/null
cp "$PHOTOLIB_LIBRARY"/catalog.sqlite* "$work/pristine/"
(cd "$PHOTOLIB_LIBRARY" && find resources -type f | sort) >"$work/pristine/files.txt"
mkdir -p "$work/pristine/records"
(cd "$work/backup" && find . -name '*.json' -exec cp --parents {} "$work/pristine/records/" \;)
find "$work/backup" -type f ! -name '*.json' ! -path '*/Twinslim-logs/*' >"$work/backup-sources.txt"

reset_cmd="rm -rf '$work/copy' '$PHOTOLIB_LIBRARY'/catalog.sqlite* && cp -a '$work/pristine/records/.' '$work/backup/' && cp '$work/pristine'/catalog.sqlite* '$PHOTOLIB_LIBRARY/' && cd '$PHOTOLIB_LIBRARY' && find resources -type f | sort | comm -13 '$work/pristine/files.txt' - | xargs -r rm -f"
restore_cmd="exec '$cli' --yes restore --all"
copy_cmd="mkdir -p '$work/copy' && xargs -a '$work/backup-sources.txt' cp -t '$work/copy' && sync '$work/copy'/* '$work/copy'"

if $commands_only; then
    echo "environment: XDG_CONFIG_HOME=$XDG_CONFIG_HOME PHOTOLIB_LIBRARY=$PHOTOLIB_LIBRARY"
    echo "reset (before each restore): sh -c \"$reset_cmd\""
    echo "restore: sh -c \"$restore_cmd\""
    echo "cp:      sh -c \"$copy_cmd\""
    echo "work folder (remove when done): $work"
    exit 0
fi

# Alternating runs, so that a change in the machine's speed hits both alike.
now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a_times=() b_times=() ratios=()
for ((i = 0; i <= runs; i++)); do # run 0 warms up
    sh -c "$reset_cmd"
    t0=$(now); sh -c "$restore_cmd" >"$work/restore.out" 2>&1; t1=$(now)
    grep -q "Restored $pairs pairs" "$work/restore.out" || { echo "the restore did not restore every pair:" >&2; tail -3 "$work/restore.out" >&2; exit 1; }
    t2=$(now); sh -c "$copy_cmd"; t3=$(now)
    ((i == 0)) && continue
    a=$(elapsed "$t0" "$t1") b=$(elapsed "$t2" "$t3")
    a_times+=("$a") b_times+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    echo "run $i: restore ${a} s, cp ${b} s" >&2
done
echo "restored bytes: $(xargs -a "$work/backup-sources.txt" du -cb | tail -1 | cut -f1)"
echo "twinslim-cli restore (median of $runs): $(median "${a_times[@]}") s"
echo "cp + sync of the same bytes (median of $runs): $(median "${b_times[@]}") s"
echo "ratio restore / cp (median of pairs): $(median "${ratios[@]}")"
