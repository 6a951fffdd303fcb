#!/usr/bin/env bash
# Writes each fuzz target's seed inputs into OUT/TARGET: what MAKE_SEEDS (fuzz_make_seeds)
# generates and, when SAMPLES is a folder, the first bytes of the sample files (metadata and
# previews sit near the start) and their names. OUT is emptied first. Used by scripts/fuzz and by
# the replay tests.
# Usage: seeds.sh MAKE_SEEDS OUT [SAMPLES]
set -euo pipefail
make_seeds=${1:?MAKE_SEEDS} out=${2:?OUT} samples=${3:-}

rm -rf -- "$out"
generated=$out/generated
mkdir -p "$generated"
# x265 keeps a little memory for the process; not what is being looked for here.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "$make_seeds" "$generated"
sources=("$generated")
if [ -n "$samples" ] && [ -d "$samples" ]; then sources+=("$samples"); fi

seed() { # TARGET LENGTH PATTERN…
  local dir=$out/$1 length=$2
  shift 2
  mkdir -p "$dir"
  find "${sources[@]}" -type f "$@" -print0 | while IFS= read -r -d '' f; do
    head -c "$length" "$f" >"$dir/$(basename "$f")"
  done
}
images=(\( -iname '*.jp*g' -o -iname '*.hei[cf]' -o -iname '*.cr[23w]' -o -iname '*.nef'
        -o -iname '*.arw' -o -iname '*.dng' -o -iname '*.orf' -o -iname '*.rw2' -o -iname '*.raf'
        -o -iname '*.pef' -o -iname '*.srw' \))
seed exif_block 65536 \( -iname '*.jp*g' -o -iname '*.exif' \)
seed raw_preview_scanner 262144 -not -iname '*.jp*g' -not -iname '*.hei[cf]' "${images[@]}"
seed cr3_boxes 262144 -iname '*.cr3'
seed image_format 64 "${images[@]}"
seed image_metadata 131072 "${images[@]}"
seed file_signature 262144 \( -iname '*.jp*g' -o -iname '*.hei[cf]' \)
seed normalized_base 4096 -iname '*.name'
# The samples' own names, as cameras and phones write them.
if [ "${#sources[@]}" -gt 1 ]; then
  find "$samples" -type f -print0 | while IFS= read -r -d '' f; do
    printf '%s' "$(basename "$f")" >"$out/normalized_base/sample-name-$(basename "$f")"
  done
fi
