#!/usr/bin/env bash
# A disk that fails only when the kernel writes the data back: an ext4 file system on a loop
# device whose backing store (a small tmpfs) is full. Every write the run makes lands in the
# page cache and succeeds; the outputs reach the disk, or fail to, at the sync before they
# replace the earlier files. The run must say so and end with status 1, and must not put a
# file under an output name that is not on the disk. Needs root, a loop device and
# mkfs.ext4; without them the test is skipped (status 77).
#
#   tests/write_back_test.sh ZORBEL SOURCE_DIR
set -u
zorbel=$(realpath "$1")
source_dir=$2
skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root to make a loop device"
command -v losetup >/dev/null && command -v mkfs.ext4 >/dev/null || skip "needs losetup and mkfs.ext4"

work=$(mktemp -d "${TMPDIR:-/tmp}/zorbel-writeback.XXXXXX")
loop=""
cleanup() {
  umount "$work/disk" 2>/dev/null
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  umount "$work/store" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/store" "$work/disk"
mount -t tmpfs -o size=4m tmpfs "$work/store" || skip "cannot mount a tmpfs"
truncate -s 64M "$work/store/image"
mkfs.ext4 -q -F -E lazy_itable_init=1,lazy_journal_init=1 "$work/store/image" || skip "mkfs.ext4 failed"
loop=$(losetup -f --show "$work/store/image" 2>/dev/null) || skip "no free loop device"
mount "$loop" "$work/disk" || skip "cannot mount the loop device"
# The backing store is now full: nothing more that the file system writes back can land.
dd if=/dev/zero of="$work/store/filler" bs=64k 2>/dev/null

cp "$source_dir/samples/sample.mpg" "$work/"
"$zorbel" "$work/sample.mpg" "/d$work/disk" >/dev/null 2>"$work/err"
status=$?
failures=0
if [ "$status" != 1 ]; then
  echo "FAIL: status $status, not 1, for files that never reached the disk"
  failures=1
fi
if ! grep -q "^Error writing $work/disk/sample\.s" "$work/err"; then
  echo "FAIL: no 'Error writing' for the outputs; standard error was: $(head -c 300 "$work/err")"
  failures=1
fi
[ "$failures" = 0 ] && echo "write-back failure reported with status 1: $(tr "\n" " " <"$work/err")"
exit "$failures"
