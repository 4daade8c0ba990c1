#!/usr/bin/env bash
# The release binary needs nothing of the system it runs on: copied alone with a stream into
# an empty folder and run there through chroot (no loader, no C or C++ library, no /proc),
# it writes the same .srt, .smi, console and exit status as the ordinary build, for every
# stream fixture and the sample, and whole files with its standard descriptors closed and
# no null device to put on them. chroot needs root: without it, or without the static
# binary (make release), the test is skipped (status 77).
#
#   tests/static_root_test.sh STATIC_ZORBEL REFERENCE_ZORBEL
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 STATIC_ZORBEL REFERENCE_ZORBEL" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: running $1 in an empty root needs chroot, which needs root"
  exit 77
fi
if [ ! -x "$1" ]; then
  echo "SKIPPED: no static binary $1 (make release)"
  exit 77
fi
static=$(realpath "$1")
reference=$(realpath "$2")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zorbel-root.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for stream in "$source_dir"/tests/fixtures/*.m2v "$source_dir"/tests/fixtures/*.vob \
              "$source_dir"/tests/fixtures/*.mpg "$source_dir"/samples/sample.mpg; do
  name=$(basename "$stream")
  base=${name%.*}
  root="$work/root-$name"
  ref="$work/ref-$name"
  mkdir "$root" "$ref"
  cp "$static" "$root/zorbel"
  cp "$stream" "$root/"
  cp "$stream" "$ref/"
  # The same relative input name in both runs, so that the consoles can match: chroot
  # starts in the new root.
  chroot "$root" /zorbel "$name" >"$work/$name.root.out" 2>"$work/$name.root.err"
  root_status=$?
  (cd "$ref" && "$reference" "$name") >"$work/$name.ref.out" 2>"$work/$name.ref.err"
  ref_status=$?
  checks=$((checks + 1))
  [ "$root_status" = "$ref_status" ] ||
    fail "$name: exit status $root_status in the empty root, $ref_status from $reference ($(head -c 300 "$work/$name.root.err"))"
  [ "$ref_status" = 0 ] || fail "$name: the reference run ended with $ref_status"
  for out in out err; do
    cmp -s "$work/$name.root.$out" "$work/$name.ref.$out" ||
      fail "$name: standard $out differs from the reference's"
  done
  for file in "$base.srt" "$base.smi"; do
    if [ -s "$root/$file" ]; then
      cmp -s "$root/$file" "$ref/$file" || fail "$name: $file differs from the reference's"
    else
      fail "$name: no $file written in the empty root"
    fi
  done
done

# The empty root has no /dev/null to put on closed standard descriptors: the outputs must
# still not take their numbers. The trace (of two samples joined, more than the console
# buffer holds, so that it is written while the files are open) is lost, as to a console
# that went away; the files are whole.
root="$work/root-closed"
ref="$work/ref-closed"
mkdir "$root" "$ref"
cp "$static" "$root/zorbel"
cat "$source_dir/samples/sample.mpg" "$source_dir/samples/sample.mpg" >"$root/twice.mpg"
cp "$root/twice.mpg" "$ref/"
(cd "$ref" && "$reference" twice.mpg >/dev/null 2>&1)
chroot "$root" /zorbel twice.mpg <&- >&- 2>"$work/closed.err"
status=$?
checks=$((checks + 1))
[ "$status" = 1 ] || fail "closed descriptors: exit status $status, not 1 for the lost trace"
[ "$(cat "$work/closed.err")" = "Error writing standard output" ] ||
  fail "closed descriptors: standard error was '$(head -c 300 "$work/closed.err")'"
for file in twice.srt twice.smi; do
  cmp -s "$root/$file" "$ref/$file" || fail "closed descriptors: $file differs from the reference's"
done

echo "$checks streams run in an empty root, $failures failures"
[ "$failures" -eq 0 ] && [ "$checks" -gt 0 ]
