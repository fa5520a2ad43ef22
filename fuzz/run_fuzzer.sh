#!/usr/bin/env bash
# run_fuzzer.sh <fuzzer> <seed corpus> <artifact folder> <seconds>
# Fuzzes a scratch copy of the seed corpus, so the repository is never written to, and
# exits non-zero on any finding. The failing input is kept in the artifact folder.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 <fuzzer> <seed corpus> <artifact folder> <seconds>" >&2; exit 2; }
mkdir -p "$3"
fuzzer=$(realpath -e "$1")
seeds=$(realpath -e "$2")
artifacts=$(realpath -e "$3")
seconds=$4
name=$(basename "$fuzzer")

work=$(mktemp -d "${TMPDIR:-/tmp}/wardex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"

# Scratch files of the targets go to the work folder as well.
export TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1
export UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1

cd "$work"
# libFuzzer reports every new input on a line of its own ("#123 NEW ..."); drop those so
# that a failure's log shows the finding, its stack and the final statistics.
set +e
"$fuzzer" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/$name-" "$work/corpus" 2>&1 | grep -avE '^#[0-9]+[[:space:]]'
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || echo "$name: finding (exit $status); input kept under $artifacts" >&2
exit "$status"
