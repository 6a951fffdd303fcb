#!/usr/bin/env bash
# Times a whole `twinslim-cli ingest` of PAIRS RAW+JPEG items (RAW_MB + JPEG_MB each, half of
# them favourites; default 50 × (25 MB + 8 MB)) against the file work it cannot avoid: `cp` of
# the same backup bytes (RAW and JPEG of each favourite, the JPEG of every other item) plus
# copying the exported pictures, both followed by `sync` of what they wrote, since the ingest
# flushes every backup and library file before it counts. The library is put back to its
# state before the ingest between runs and the disk flushed (not timed). Where the kernel keeps
# statistics for the work folder's disk, it also prints how long the disk was busy during each
# side: the busy time of cp + sync is the least any copy that flushes these bytes can take.
#
# usage: bench/ingest_vs_cp.sh [--commands] [BUILD_DIR]
#   BUILD_DIR   a Release build with twinslim-cli, photolib and make_ingest_bench
#               (default build/benchrel)
#   --commands  only prepare the inputs, print the reset and the two commands, keep the folder
# environment: RUNS (default 5), PAIRS (50), RAW_MB (25), JPEG_MB (8),
#   TWINSLIM_BENCH_SMOKE=1 (the test suite's smoke run): 2 pairs of 1 MB + 1 MB, one
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
pairs=${PAIRS:-$(pick 50 2)}
cli="$build/tools/twinslim-cli/twinslim-cli"
generator="$build/bench/make_ingest_bench"
for tool in "$cli" "$generator"; do
    [[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target twinslim-cli make_ingest_bench" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ingest-bench.XXXXXX")
$commands_only || trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" PHOTOLIB_LIBRARY="$work/Bench.photolibrary"

echo "Building a library of $pairs pairs…" >&2
"$generator" "$work" "$pairs" "${RAW_MB:-$(pick 25 1)}" "${JPEG_MB:-$(pick 8 1)}" >&2
mkdir -p "$work/backup" "$work/pristine"
"$cli" backup-folder "$work/backup" >/dev/null
cp "$PHOTOLIB_LIBRARY"/catalog.sqlite* "$work/pristine/"
(cd "$PHOTOLIB_LIBRARY" && find resources -type f | sort) >"$work/pristine/files.txt"

reset_cmd="rm -rf '$work/backup'/* '$work/copy' '$PHOTOLIB_LIBRARY'/catalog.sqlite* && cp '$work/pristine'/catalog.sqlite* '$PHOTOLIB_LIBRARY/' && cd '$PHOTOLIB_LIBRARY' && find resources -type f | sort | comm -13 '$work/pristine/files.txt' - | xargs -r rm -f"
ingest_cmd="exec '$cli' ingest --yes '$work/export'"
copy_only_cmd="mkdir -p '$work/copy/backup' '$work/copy/library' && xargs -a '$work/backup-sources.txt' cp -t '$work/copy/backup' && cp '$work/export'/* '$work/copy/library/'"
sync_cmd="sync '$work/copy/backup'/* '$work/copy/library'/* '$work/copy/backup' '$work/copy/library'"
copy_cmd="$copy_only_cmd && $sync_cmd"

if $commands_only; then
    echo "environment: XDG_CONFIG_HOME=$XDG_CONFIG_HOME PHOTOLIB_LIBRARY=$PHOTOLIB_LIBRARY"
    echo "reset (before each ingest): sh -c \"$reset_cmd\""
    echo "ingest: sh -c \"$ingest_cmd\""
    echo "cp:     sh -c \"$copy_cmd\""
    echo "work folder (remove when done): $work"
    exit 0
fi

# Alternating runs, so that a change in the machine's speed hits both alike.
now() { echo "$EPOCHREALTIME"; }
# How long the disk holding the work folder was busy (io_ticks, ms) so far, from the line of
# /proc/diskstats with that file system's device numbers; empty where there is none (btrfs,
# network and overlay file systems), and then the busy times are left out.
dev_id=$(stat -c '%Hd %Ld' "$work")
disk_busy() { awk -v id="$dev_id" '$1 " " $2 == id { print $13 }' /proc/diskstats; }
[[ -z $(disk_busy) ]] && echo "(no /proc/diskstats line for the work folder's device: disk busy times left out)" >&2
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a_times=() b_times=() s_times=() ratios=() a_busy=() b_busy=() floor_ratios=()
for ((i = 0; i <= runs; i++)); do # run 0 warms up
    # Each side starts with nothing left for the disk to write, the reset's removals included.
    sh -c "$reset_cmd" && sync
    d0=$(disk_busy) t0=$(now); sh -c "$ingest_cmd" >"$work/ingest.out"; t1=$(now) d1=$(disk_busy)
    grep -q "Replaced $pairs of $pairs matched files" "$work/ingest.out" || { echo "the ingest did not replace every pair:" >&2; tail -3 "$work/ingest.out" >&2; exit 1; }
    # The sync alone is the disk writing the bytes: no ingest that flushes them can take less.
    d2=$(disk_busy) t2=$(now); sh -c "$copy_only_cmd"; t2s=$(now); sh -c "$sync_cmd"; t3=$(now) d3=$(disk_busy)
    ((i == 0)) && continue
    a=$(elapsed "$t0" "$t1") b=$(elapsed "$t2" "$t3")
    a_times+=("$a") b_times+=("$b") s_times+=("$(elapsed "$t2s" "$t3")")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    busy=""
    if [[ -n $d0 ]]; then
        a_busy+=("$((d1 - d0))") b_busy+=("$((d3 - d2))")
        floor_ratios+=("$(awk -v a="$a" -v b="${b_busy[-1]}" 'BEGIN { if (b > 0) printf "%.3f", a * 1000 / b; else print "inf" }')")
        busy=" (disk busy ${a_busy[-1]} ms and ${b_busy[-1]} ms)"
    fi
    echo "run $i: ingest ${a} s, cp ${b} s$busy" >&2
done
echo "backup bytes: $(du -sh "$work/backup" | cut -f1), exported pictures: $(du -sh "$work/export" | cut -f1)"
echo "twinslim-cli ingest (median of $runs): $(median "${a_times[@]}") s"
echo "cp + sync of the same bytes (median of $runs): $(median "${b_times[@]}") s"
echo "  of which sync, the disk writing those bytes (median of $runs): $(median "${s_times[@]}") s"
if ((${#a_busy[@]})); then
    echo "disk busy during the ingest (median of $runs): $(median "${a_busy[@]}") ms; during cp + sync: $(median "${b_busy[@]}") ms"
    echo "ratio ingest / the disk's busy time for cp + sync, the least any flushed copy needs (median of pairs): $(median "${floor_ratios[@]}")"
fi
echo "ratio ingest / cp (median of pairs): $(median "${ratios[@]}")"
