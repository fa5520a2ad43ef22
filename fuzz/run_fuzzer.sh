#!/usr/bin/env bash
# run_fuzzer.sh <fuzzer> <seed corpus> <artifact folder> <seconds>
# Fuzzes a scratch copy of the seed corpus, so the repository is never written to, and
# exits non-zero on any finding. The failing input is kept in the artifact folder.
set -euo pipefail
fuzzer=$1 seeds=$2 artifacts=$3 seconds=$4
name=$(basename "$fuzzer")

work=$(mktemp -d "${TMPDIR:-/tmp}/wardex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
cp "$seeds"/* "$work/corpus/"

# Scratch files of the targets go to the work folder as well.
export TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1
export UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1

cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/$name-" "$work/corpus"
