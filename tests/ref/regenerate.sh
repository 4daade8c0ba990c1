#!/usr/bin/env bash
# Rewrites the reference files in this folder from a build: the .srt, .smi and console of
# every case of tests/ref_cases.cpp. Run it on purpose after a change of output, then review
# the diff (git diff tests/ref) before committing; the tests never write these files.
#
#   tests/ref/regenerate.sh [BUILD_DIR]     (build/ by default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../../build}")
[ -x "$build/zorbel" ] && [ -x "$build/tests/zorbel_ref_inputs" ] || {
  echo "no zorbel and tests/zorbel_ref_inputs in $build: build it first (make build)" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/zorbel_ref_inputs" "$work"
while IFS=$'\t' read -r name input console options; do
  read -r -a opts <<<"${options:-}"
  # The one reference the run is held to: its console alone is wrong for a case whose
  # console is another's.
  status=0
  (cd "$work/$name" && "$build/zorbel" "${opts[@]}" "$input" >"$work/$name.out" 2>"$work/$name.err") || status=$?
  if [ "$status" != 0 ] || [ -s "$work/$name.err" ]; then
    echo "$name: status $status, $(head -c 200 "$work/$name.err")" >&2
    exit 1
  fi
  cp "$work/$name/${input%.*}.srt" "$here/$name.srt"
  cp "$work/$name/${input%.*}.smi" "$here/$name.smi"
  [ "$console" != - ] || cp "$work/$name.out" "$here/$name.out"
done <"$work/cases.txt"
echo "tests/ref rewritten from $build: review it with git diff tests/ref"
