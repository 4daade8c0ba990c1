#!/usr/bin/env bash
# zorbel.exe under Wine, held against the Linux build of the same source: the import
# table, every stream fixture and the sample (.srt and .smi byte for byte, the console
# once CR LF is read as LF, the exit status), the refusals, and the Windows naming rules
# with drive letters and backslashes.
#
#   tests/windows/wine_test.sh LINUX_ZORBEL ZORBEL_EXE WORK_DIR
#
# WORK_DIR keeps the Wine prefix between runs; everything else in it is made anew.
set -u

if [ $# -ne 3 ]; then
  echo "usage: $0 LINUX_ZORBEL ZORBEL_EXE WORK_DIR" >&2
  exit 2
fi
linux_zorbel=$(realpath "$1")
exe=$(realpath "$2")
work=$(mkdir -p "$3" && realpath "$3")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
wine=${WINE:-/usr/lib/wine/wine64}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

export WINEPREFIX="$work/wineprefix"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() { checks=$((checks + 1)); }

# Byte for byte; on a difference, the first differing lines.
same_bytes() {  # EXPECTED ACTUAL LABEL
  check
  if ! cmp -s "$1" "$2"; then
    fail "$3 differs ($1 vs $2)"
    diff <(od -An -c "$1") <(od -An -c "$2") | head -n 8
  fi
}

# The console of the exe with CR LF read as LF, and without the priority line, which
# is checked on its own (the Linux build may be refused idle scheduling).
console_body() { sed -e 's/\r$//' "$1" | tail -n +2; }

priority_line() {  # STDOUT_FILE LABEL
  check
  local first
  first=$(head -n 1 "$1")
  [ "$first" = $'Priority set to IDLE_PRIORITY_CLASS\r' ] ||
    fail "$2: first line is '${first%$'\r'}', not 'Priority set to IDLE_PRIORITY_CLASS'"
}

for tool in "$wine" "$objdump" cmp od realpath; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool not found"; exit 1; }
done

echo "== import table of $(basename "$exe")"
# Only DLLs that every Windows installation has in its system folder.
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
printf '  %s\n' $imports
check
[ -n "$imports" ] || fail "no import table found in $exe"
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | user32.dll | ntdll.dll) ;;
    *) fail "$exe imports $dll, which a clean Windows does not have" ;;
  esac
done

# The first start of a prefix prints Wine's own messages: keep them out of the runs.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
fi
"$wine" "$exe" >/dev/null 2>&1

run_linux() {  # DIR ARGS...
  local dir=$1
  shift
  (cd "$dir" && "$linux_zorbel" "$@" >"$work/linux.out" 2>"$work/linux.err" </dev/null; echo $? >"$work/linux.status")
}
run_windows() {  # DIR ARGS...
  local dir=$1
  shift
  (cd "$dir" && "$wine" "$exe" "$@" >"$work/windows.out" 2>"$work/windows.err" </dev/null; echo $? >"$work/windows.status")
}

# Both builds on their own copy of INPUT, named NAME, run in that copy's directory.
compare_on() {  # INPUT NAME LABEL [OPTION]...
  local input=$1 name=$2 label=$3
  shift 3
  local cmp_dir="$work/compare/$label"
  rm -rf "$cmp_dir"
  mkdir -p "$cmp_dir/linux" "$cmp_dir/windows"
  for side in linux windows; do
    [ -n "$input" ] && cp "$input" "$cmp_dir/$side/$name"
    "run_$side" "$cmp_dir/$side" "$@" "$name"
    mv "$work/$side.out" "$work/$side.err" "$work/$side.status" "$cmp_dir/$side/"
  done
  local l="$cmp_dir/linux" w="$cmp_dir/windows"
  check
  [ "$(cat "$l/linux.status")" = "$(cat "$w/windows.status")" ] ||
    fail "$label: exit status $(cat "$w/windows.status") under Wine, $(cat "$l/linux.status") on Linux"
  priority_line "$w/windows.out" "$label"
  tail -n +2 "$l/linux.out" >"$l/stdout.body"
  console_body "$w/windows.out" >"$w/stdout.body"
  sed -e 's/\r$//' "$w/windows.err" >"$w/stderr.lf"
  same_bytes "$l/stdout.body" "$w/stdout.body" "$label: standard output"
  same_bytes "$l/linux.err" "$w/stderr.lf" "$label: standard error"
  local base=${name%.*}
  for ext in srt smi; do
    check
    if [ -f "$l/$base.$ext" ] && [ -f "$w/$base.$ext" ]; then
      same_bytes "$l/$base.$ext" "$w/$base.$ext" "$label: $base.$ext"
    elif [ -f "$l/$base.$ext" ] || [ -f "$w/$base.$ext" ]; then
      fail "$label: $base.$ext written by one build only"
    fi
  done
}

echo "== stream fixtures and the sample: Wine against Linux"
fixtures=0
for input in "$source_dir"/tests/fixtures/*.m2v "$source_dir"/tests/fixtures/*.vob \
             "$source_dir"/tests/fixtures/*.mpg "$source_dir"/tests/fixtures/*.ts \
             "$source_dir"/tests/fixtures/*.m2ts "$source_dir"/samples/sample.mpg; do
  [ -f "$input" ] || continue
  name=$(basename "$input")
  compare_on "$input" "$name" "$name"
  # A comparison of two empty results would prove nothing.
  check
  [ -s "$work/compare/$name/linux/${name%.*}.srt" ] || fail "$name: the Linux build wrote no captions"
  fixtures=$((fixtures + 1))
  echo "  $name"
done
check
[ "$fixtures" -ge 16 ] || fail "only $fixtures stream files found"

echo "== options: Wine against Linux"
compare_on "$source_dir/tests/fixtures/film.m2v" film.m2v film-utf8 --utf8
compare_on "$source_dir/samples/sample.mpg" sample.mpg sample-whole-lines --whole-lines
compare_on "$source_dir/tests/fixtures/pal.m2v" pal.m2v pal-timecode --timecode
compare_on "$source_dir/tests/fixtures/film-dvd.vob" film-dvd.vob film-dvd-options --utf8 --whole-lines --timecode
for label in film-utf8 sample-whole-lines pal-timecode film-dvd-options; do echo "  $label"; done
# A quiet run writes nothing on standard output, and the same files.
quiet="$work/compare/quiet"
rm -rf "$quiet" && mkdir -p "$quiet"
cp "$source_dir/samples/sample.mpg" "$quiet/"
run_windows "$quiet" -q sample.mpg
check
[ "$(cat "$work/windows.status")" = 0 ] && [ ! -s "$work/windows.out" ] ||
  fail "-q: status $(cat "$work/windows.status"), $(wc -c <"$work/windows.out") bytes on standard output"
same_bytes "$work/compare/sample.mpg/linux/sample.srt" "$quiet/sample.srt" "-q: sample.srt"
same_bytes "$work/compare/sample.mpg/linux/sample.smi" "$quiet/sample.smi" "-q: sample.smi"
# --help and --version read as on Linux, line for line.
for option in --help --version; do
  run_linux "$work" "$option"
  run_windows "$work" "$option"
  sed -e 's/\r$//' "$work/windows.out" >"$work/windows.lf"
  same_bytes "$work/linux.out" "$work/windows.lf" "$option"
  echo "  $option"
done

echo "== refusals and early ends: Wine against Linux"
printf '' >"$work/empty.mpg"
printf '\x47\x00\x00\x01\xb3' >"$work/transport.mpg"
printf '\x00\x00\x01\xbb\x00\x00' >"$work/system-header.mpg"
head -c 1000 "$source_dir/tests/fixtures/ntsc-dvd.vob" >"$work/short.vob"
compare_on "$work/empty.mpg" empty.mpg empty.mpg
compare_on "$work/transport.mpg" transport.mpg transport.mpg
compare_on "$work/system-header.mpg" system-header.mpg system-header.mpg
compare_on "$work/short.vob" short.vob short.vob
compare_on "" missing.mpg missing.mpg
compare_on "" noextension noextension

echo "== Windows names: drive letters, backslashes, /d directories"
# D: is a folder of the work directory; C: is the prefix's own drive_c.
drive_c="$WINEPREFIX/drive_c"
drive_d="$work/drive_d"
reference="$work/compare/ntsc.m2v/linux"

fresh_drives() {
  rm -rf "$drive_d" "$drive_c/subs" "$drive_c/work" "$drive_c"/movie.*
  mkdir -p "$drive_d/video" "$drive_c/subs" "$drive_c/work/ev" "$drive_c/work/my.dir"
  ln -sfn "$drive_d" "$WINEPREFIX/dosdevices/d:"
  cp "$source_dir/tests/fixtures/ntsc.m2v" "$drive_d/video/movie.mpg"
  cp "$source_dir/tests/fixtures/ntsc.m2v" "$drive_c/work/movie.mpg"
  cp "$source_dir/tests/fixtures/ntsc.m2v" "$drive_c/movie.mpg"
  cp "$source_dir/tests/fixtures/ntsc.m2v" "$drive_c/work/my.dir/file"
}

# One run from C:\work. OUTPUTS is the folder (as Linux sees it) and base name where the
# two files must appear, identical to the Linux build's files for the same stream, or
# "none:" followed by the last line that the run must print.
names_case() {  # INPUT BASE PATH OUTPUTS ARG...
  local input=$1 base=$2 path=$3 outputs=$4
  shift 4
  local label="zorbel $*"
  fresh_drives
  run_windows "$drive_c/work" "$@"
  local expected
  expected=$(printf 'Processing    : %s\r\nBasefilename  : %s\r\nPath          : %s\r\nSRT Output    : %s\r\nSAMI Output   : %s\r' \
    "$input" "$base" "$path" "$path$base.srt" "$path$base.smi")
  check
  [ "$(sed -n '3,7p' "$work/windows.out")" = "$expected" ] ||
    fail "$label: names are"$'\n'"$(sed -n '3,7p' "$work/windows.out")"$'\n'"expected"$'\n'"$expected"
  priority_line "$work/windows.out" "$label"
  if [ "${outputs%%:*}" = none ]; then
    local message=${outputs#none:}
    check
    [ "$(cat "$work/windows.status")" = 1 ] || fail "$label: exit status $(cat "$work/windows.status"), expected 1"
    check
    [ "$(tail -n 1 "$work/windows.out")" = "$message"$'\r' ] || fail "$label: last line is '$(tail -n 1 "$work/windows.out")'"
    check
    [ -z "$(find "$drive_c/work" "$drive_c/subs" "$drive_d" -name "*.srt" -o -name "*.smi")" ] && [ ! -e "$drive_c/missing" ] ||
      fail "$label: an output file or directory was written"
  else
    check
    [ "$(cat "$work/windows.status")" = 0 ] || fail "$label: exit status $(cat "$work/windows.status"), expected 0"
    same_bytes "$reference/ntsc.srt" "$outputs.srt" "$label: .srt"
    same_bytes "$reference/ntsc.smi" "$outputs.smi" "$label: .smi"
  fi
  echo "  $label"
}

names_case 'D:\video\movie.mpg' movie 'C:\subs\' "$drive_c/subs/movie" 'D:\video\movie.mpg' '/dC:\subs'
names_case 'D:\video\movie.mpg' movie 'C:\subs\' "$drive_c/subs/movie" 'D:\video\movie.mpg' '/dC:\subs\'
names_case 'D:\video\movie.mpg' movie 'C:/subs/\' "$drive_c/subs/movie" 'D:\video\movie.mpg' '/dC:/subs/'
names_case 'D:\video\movie.mpg' movie 'D:\video\' "$drive_d/video/movie" 'D:\video\movie.mpg'
names_case 'D:\video\movie.mpg' movie 'C:\subs\' "$drive_c/subs/movie" '/dC:\subs' 'D:\video\movie.mpg'
# "/dev" names an existing directory (Wine shows the Linux one to the exe), yet on
# Windows it stays the directory option: ev\ in C:\work.
names_case 'D:\video\movie.mpg' movie 'ev\' "$drive_c/work/ev/movie" 'D:\video\movie.mpg' '/dev'
names_case 'C:movie.mpg' movie 'C:' "$drive_c/work/movie" 'C:movie.mpg'
names_case '\movie.mpg' '\movie' '' "$drive_c/movie" '\movie.mpg'
names_case 'my.dir\file' my '' "$drive_c/work/my" 'my.dir\file'
names_case 'D:\video\movie.mpg' movie 'C:\missing\' 'none:Unable to open SRT File' 'D:\video\movie.mpg' '/dC:\missing'

echo "== an output that is the input file"
# Volume serial and file index tell the files apart, whatever the names look like.
same_file_case() {  # OUTPUT ARG...
  local output=$1
  shift
  local label="zorbel $*"
  run_windows "$drive_c/work" "$@"
  check
  [ "$(cat "$work/windows.status")" = 1 ] || fail "$label: exit status $(cat "$work/windows.status"), expected 1"
  check
  [ "$(cat "$work/windows.err")" = "Output $output is the input file"$'\r' ] ||
    fail "$label: standard error is '$(cat "$work/windows.err")'"
  same_bytes "$source_dir/tests/fixtures/ntsc.m2v" "$drive_d/video/movie.mpg" "$label: the input"
  check
  [ -z "$(find "$drive_c/work" "$drive_d" -name "*.srt" -type f -newer "$drive_d/video/movie.mpg")" ] ||
    fail "$label: an output file was written"
  echo "  $label"
}
fresh_drives
ln "$drive_d/video/movie.mpg" "$drive_d/video/movie.smi"
same_file_case 'D:\video\movie.smi' 'D:\video\movie.mpg'
fresh_drives
ln -s ../video/movie.mpg "$drive_d/subs.srt" 2>/dev/null || true
mkdir -p "$drive_d/out"
ln -s ../video/movie.mpg "$drive_d/out/movie.srt"
same_file_case 'D:\out\movie.srt' 'D:\video\movie.mpg' '/dD:\out'
fresh_drives
mv "$drive_d/video/movie.mpg" "$drive_d/video/movie.smi"
ln -s movie.smi "$drive_d/video/movie.mpg"
same_file_case 'D:\video\movie.smi' 'D:\video\movie.smi'

# A trace sent to the null device goes out in pieces, not a byte per system call (the C
# library leaves a stream on a character device unbuffered): counted, not timed. Wine's
# own writes (some 20,000 when its server starts) are counted too; a byte per call would be
# two writes per byte.
if command -v strace >/dev/null; then
  echo "== the trace to the null device"
  fresh_drives
  cp "$source_dir/samples/sample.mpg" "$drive_c/work/"
  (cd "$drive_c/work" && strace -f -e trace=write -o "$work/writes.txt" "$wine" "$exe" sample.mpg >/dev/null 2>&1 </dev/null)
  trace_bytes=$(cd "$drive_c/work" && "$linux_zorbel" sample.mpg | wc -c)
  writes=$(grep -c ' write(' "$work/writes.txt")
  check
  [ "$writes" -lt $((trace_bytes / 4)) ] || fail "$writes write calls for a trace of $trace_bytes bytes"
  echo "  $writes write calls for a trace of $trace_bytes bytes"
fi

echo "== $fixtures stream files compared, $checks checks, $failures failed"
[ "$failures" -eq 0 ]
