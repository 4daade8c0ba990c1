#!/usr/bin/env bash
# cmake --install into a fresh prefix: bin/zorbel runs and prints the project's version,
# and share/man/man1/zorbel.1 renders without a single warning.
#
#   tests/install_test.sh BUILD_DIR VERSION
set -u
build=$1
version=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/zorbel-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 || fail "cmake --install: $(cat "$prefix/install.log")"

zorbel="$prefix/bin/zorbel"
if [ -x "$zorbel" ]; then
  "$zorbel" >"$prefix/usage.out" 2>&1
  status=$?
  [ "$status" = 1 ] || fail "bin/zorbel without arguments ended with $status, not 1"
  banner=$(sed -n 2p "$prefix/usage.out")
  [ "$banner" = "ZORBEL: v$version debug build" ] || fail "banner is '$banner', project version $version"
else
  fail "no bin/zorbel under $prefix"
fi

page="$prefix/share/man/man1/zorbel.1"
if [ -f "$page" ]; then
  grep -q "^\.TH ZORBEL 1 .*\"ZORBEL $version\"" "$page" || fail "the page's title line does not carry version $version"
  linters=0
  if command -v mandoc >/dev/null; then
    linters=$((linters + 1))
    lint=$(mandoc -T lint "$page" 2>&1 && echo clean)
    [ "$lint" = clean ] || fail "mandoc -T lint: $lint"
  fi
  if command -v groff >/dev/null; then
    linters=$((linters + 1))
    lint=$(groff -ww -z -man "$page" 2>&1 && echo clean)
    [ "$lint" = clean ] || fail "groff -ww: $lint"
  fi
  [ "$linters" -gt 0 ] || fail "neither mandoc nor groff is installed to check the manual page"
else
  fail "no share/man/man1/zorbel.1 under $prefix"
fi

[ "$failures" -eq 0 ] && echo "installed and checked under $prefix"
[ "$failures" -eq 0 ]
