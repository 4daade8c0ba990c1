#!/usr/bin/env bash
# The Debian package as a user meets it: lintian finds no error in it, dpkg -i puts zorbel
# on the PATH (printing the package's version) and its page where man finds it, and dpkg -r
# leaves nothing of it behind. Needs root; refuses to run where zorbel is installed already,
# so that nothing of the machine's own is replaced or removed.
#
# Without root, or without a package (make dist), the test is skipped (status 77).
#
#   tests/deb_test.sh PACKAGE.deb|DIST_DIR
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 PACKAGE.deb|DIST_DIR" >&2
  exit 2
fi
deb=$1
[ -d "$deb" ] && deb=$(find "$deb" -maxdepth 1 -name '*.deb' | head -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "SKIPPED: no Debian package in $1 (make dist)"
  exit 77
fi
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: installing $deb with dpkg -i needs root"
  exit 77
fi
deb=$(realpath "$deb")
for tool in dpkg lintian man; do
  command -v "$tool" >/dev/null || { echo "FAIL: $0 needs $tool"; exit 1; }
done

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

echo "--- lintian $deb"
lintian --display-info --pedantic "$deb" || fail "lintian reports errors"

package=$(dpkg-deb --field "$deb" Package)
version=$(dpkg-deb --field "$deb" Version)
state() { dpkg-query --show --showformat='${db:Status-Status}' "$package" 2>/dev/null; }
if [ -n "$(state)" ] && [ "$(state)" != not-installed ]; then
  echo "FAIL: $package is $(state) on this machine already; not touching it"
  exit 1
fi
# What the package would add: its paths that are not there yet. A file of its own that is
# there already belongs to something else, which dpkg -i would replace.
added=()
while read -r path; do
  path=${path#.}
  path=${path%/}
  [ -n "$path" ] || continue
  if [ ! -e "$path" ]; then
    added+=("$path")
  elif [ ! -d "$path" ]; then
    echo "FAIL: $path is there already, not from $package; not touching it"
    exit 1
  fi
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
[ ${#added[@]} -gt 0 ] || fail "the package adds nothing"

# From here on the package goes again however the test ends, even half installed.
installed=1
trap '[ "$installed" = 1 ] && dpkg -r "$package" >/dev/null' EXIT
dpkg -i "$deb" >/dev/null || fail "dpkg -i $deb"

zorbel=$(PATH=/usr/bin:/bin command -v zorbel)
[ "$zorbel" = /usr/bin/zorbel ] || fail "zorbel on the PATH is '$zorbel', not /usr/bin/zorbel"
usage=$(PATH=/usr/bin:/bin zorbel 2>&1)
status=$?
[ "$status" = 1 ] || fail "zorbel without arguments ended with $status, not 1"
banner=$(sed -n 2p <<<"$usage")
[ "$banner" = "ZORBEL: v$version debug build" ] || fail "banner is '$banner', package version $version"

page=$(man -w zorbel 2>&1)
[ "$page" = /usr/share/man/man1/zorbel.1.gz ] || fail "man -w zorbel gives '$page'"
name_line=$(MANWIDTH=200 man zorbel 2>/dev/null | sed -n '/^NAME/{n;p;q}')
case "$name_line" in
  *"zorbel - write the closed captions"*) ;;
  *) fail "man zorbel shows no NAME section ('$name_line')" ;;
esac

dpkg -r "$package" >/dev/null || fail "dpkg -r $package"
installed=0
[ -z "$(state)" ] || [ "$(state)" = not-installed ] || fail "after dpkg -r, $package is '$(state)'"
for path in "${added[@]}"; do
  [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
man -w zorbel >/dev/null 2>&1 && fail "man still finds zorbel after dpkg -r"

echo "$package $version: installed, run, its page found, removed; ${#added[@]} paths added and taken away; $failures failures"
[ "$failures" -eq 0 ]
