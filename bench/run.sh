#!/usr/bin/env bash
# Throughput of a whole run against the speed of reading the file (cat), against the floor
# (bench/floor.cpp: read() and the start-code search, nothing else) and against ffmpeg's
# caption extraction, on large streams grown from a real-encoder fixture. Prints the
# ratios, peak memory and instructions per input byte (callgrind).
# Needs ffmpeg, python3 (to put captions into the source), hyperfine and valgrind.
#
#   bench/run.sh            (ZORBEL_BENCH_MB=1024 by default)
#   ZORBEL_BENCH_BASELINE=/path/to/zorbel bench/run.sh
#                           times another build in the same rounds (before and after a change)
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in ffmpeg python3 hyperfine valgrind chrt; do
  command -v "$tool" >/dev/null || { echo "bench/run.sh needs $tool (Debian: apt-get install $tool)"; exit 1; }
done

B=build-bench
SIZE_MB=${ZORBEL_BENCH_MB:-1024}
SOURCE=${ZORBEL_BENCH_SOURCE:-}
FPS=${ZORBEL_BENCH_FPS:-30}
DATA=${ZORBEL_BENCH_DATA:-$B/data}

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
mkdir -p "$DATA" "$DATA/out"

# The source: the NTSC fixture's caption script on DVD-rate pictures (8 Mbit/s of detailed,
# noisy video from ffmpeg's encoder, the same groups of pictures), so that picture data, not
# captions, makes up the bytes as in real recordings.
if [ -z "$SOURCE" ]; then
  SOURCE="$DATA/source.m2v"
  if [ ! -s "$SOURCE" ]; then
    ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi \
      -i "testsrc2=size=720x480:rate=30000/1001,noise=alls=16:allf=t" -frames:v 180 \
      -c:v mpeg2video -pix_fmt yuv420p -aspect 4:3 -g 15 -bf 2 -flags +cgop -sc_threshold 1000000000 \
      -b:v 8M -minrate 8M -maxrate 8M -bufsize 1835k -gop_timecode 00:00:00:00 -an -f mpeg2video "$DATA/raw.m2v"
    python3 tests/fixtures/cc_fixture.py insert tests/fixtures/ntsc.captions "$DATA/raw.m2v" "$SOURCE"
  fi
fi

# The caption-dense source: the same caption script on simple moving pictures at 300 kbit/s,
# so that a caption entry comes with every frame and a start code every ~55 bytes.
DENSE_SOURCE="$DATA/source-dense.m2v"
if [ ! -s "$DENSE_SOURCE" ]; then
  ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "testsrc=size=720x480:rate=30000/1001" -frames:v 180 \
    -c:v mpeg2video -pix_fmt yuv420p -aspect 4:3 -g 15 -bf 2 -flags +cgop -sc_threshold 1000000000 \
    -b:v 300k -maxrate 300k -bufsize 600k -gop_timecode 00:00:00:00 -an -f mpeg2video "$DATA/raw-dense.m2v"
  python3 tests/fixtures/cc_fixture.py insert tests/fixtures/ntsc.captions "$DATA/raw-dense.m2v" "$DENSE_SOURCE"
fi

es="$DATA/large.m2v"; ps="$DATA/large.vob"; ts="$DATA/large.ts"; mid="$DATA/mid.m2v"; small="$DATA/small.m2v"
dense_es="$DATA/dense.m2v"; dense_ps="$DATA/dense.vob"
[ -s "$es" ] || "$B/bench/repeat_gops" "$SOURCE" "$es" "$SIZE_MB" "$FPS"
[ -s "$dense_es" ] || "$B/bench/repeat_gops" "$DENSE_SOURCE" "$dense_es" "$SIZE_MB" "$FPS"
[ -s "$mid" ] || "$B/bench/repeat_gops" "$SOURCE" "$mid" 128 "$FPS"
[ -s "$small" ] || "$B/bench/repeat_gops" "$SOURCE" "$small" 50 "$FPS"
for pair in "$es:$ps" "$dense_es:$dense_ps"; do
  if [ ! -s "${pair#*:}" ]; then
    ffmpeg -v error -y -f mpegvideo -i "${pair%%:*}" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
      -map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 64k -shortest -f dvd "${pair#*:}"
  fi
done
# The broadcast form: the same video and audio in a transport stream.
if [ ! -s "$ts" ]; then
  ffmpeg -v error -y -fflags +genpts -r 30000/1001 -f mpegvideo -i "$es" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 64k -shortest -f mpegts "$ts"
fi

# Median wall, and mean user and system seconds of a command over $RUNS runs after a warm-up
# (hyperfine): the median, so that one run slowed by other load does not move the ratio.
RUNS=${ZORBEL_BENCH_RUNS:-7}
timing() {
  hyperfine -N -w 1 -r "$RUNS" --export-csv "$DATA/time.csv" "$1" >/dev/null 2>&1
  sed -n 2p "$DATA/time.csv" | cut -d, -f4,5,6 | tr , ' '
}
seconds() { timing "$1" | cut -d' ' -f1; }
# Peak resident memory in KB.
peak_kb() {
  /usr/bin/time -f "%M" -o "$DATA/peak.txt" sh -c "$1" >/dev/null 2>&1 || true
  cat "$DATA/peak.txt"
}
mb() { awk "BEGIN{printf \"%.1f\", $(stat -c %s "$1") / 1048576}"; }

# stdout and the output files go to real files, as in real use; the console can also go to
# /dev/null to show the reading side alone.
zorbel_cmd() { echo "'$B/zorbel' '$1' '/d$DATA/out/' > '${2:-$DATA/out/console.txt}'"; }

# cat, the floor and zorbel on the same file take turns, round after round (bench/paired.py),
# so that the noise of a shared machine falls on all of them; the medians and their ratios
# are printed. The tool runs at idle priority, so cat and the floor do too: other load then
# stretches them alike. The floor also runs as probes of what a run of each input must do
# at least, each writing as many bytes as zorbel's trace where it says "trace":
#  - program streams: the packs and packets walked and only the video payloads searched
#    (--packets), as a reader of them must;
#  - DVD-rate inputs: the search stopping at the codes that zorbel acts on (--acted), as a
#    reader that must find them does, alone and with the trace;
#  - caption-dense inputs: the plain floor with the trace (the floor of a run that must
#    write it), and zorbel also with its console on /dev/null.
# The console goes to a new file every time (--fresh): emptying the trace of the round
# before is the shell's work, not the run's. zorbel's .srt and .smi stay in place, and each
# run empties them itself, as a run over an earlier one does.
BASELINE=${ZORBEL_BENCH_BASELINE:-}
IDLE="chrt --idle 0"
echo "== whole-process time against cat and the floor (median of $RUNS paired rounds, page cache warm)"
for f in "$es" "$ps" "$ts" "$dense_es" "$dense_ps"; do
  sh -c "$(zorbel_cmd "$f")"
  trace_bytes=$(stat -c %s "$DATA/out/console.txt")
  probe() { echo "$IDLE '$B/bench/floor' $* '$f'"; }
  with_trace() { echo "$(probe "$@") $trace_bytes > '$DATA/out/floor-console.txt'"; }
  commands=("$IDLE cat '$f' >/dev/null" "$(probe) >/dev/null")
  case "$f" in "$ps" | "$dense_ps") commands+=("$(probe --packets) >/dev/null") ;; esac
  case "$f" in "$ts") commands+=("$(probe --transport) >/dev/null") ;; esac
  case "$f" in
    "$es") commands+=("$(probe --acted) >/dev/null" "$(with_trace --acted)") ;;
    "$ps") commands+=("$(probe --packets --acted) >/dev/null" "$(with_trace --packets --acted)") ;;
    "$ts") commands+=("$(probe --transport --acted) >/dev/null" "$(with_trace --transport --acted)") ;;
    "$dense_es") commands+=("$(with_trace)") ;;
    "$dense_ps") commands+=("$(with_trace)" "$(with_trace --packets)") ;;
  esac
  commands+=("$(zorbel_cmd "$f")")
  [ -z "$BASELINE" ] || commands+=("$(zorbel_cmd "$f" | sed "s|'$B/zorbel'|'$BASELINE'|")")
  case "$f" in "$dense_es" | "$dense_ps") commands+=("$(zorbel_cmd "$f" /dev/null)") ;; esac
  bench/paired.py --fresh "$DATA/out/console.txt" --fresh "$DATA/out/floor-console.txt" \
    "$RUNS" "$(basename "$f")" "${commands[@]}"
  printf '%-12s %s MB, peak resident %s KB\n' "$(basename "$f")" "$(mb "$f")" "$(peak_kb "$(zorbel_cmd "$f")")"
done
printf 'peak resident on %s MB: %s KB\n' "$(mb "$small")" "$(peak_kb "$(zorbel_cmd "$small")")"

echo "== against ffmpeg's caption extraction ($(mb "$mid") MB)"
cat "$mid" >/dev/null
t_zorbel=$(seconds "sh -c \"$(zorbel_cmd "$mid")\"")
t_ffmpeg=$(seconds "ffmpeg -v error -y -f lavfi -i movie=$mid[out0+subcc] -map 0:1 $DATA/out/ffmpeg.srt")
printf 'zorbel %.4f s  ffmpeg %.3f s  ffmpeg/zorbel %.0f\n' "$t_zorbel" "$t_ffmpeg" \
  "$(awk "BEGIN{print $t_ffmpeg / ($t_zorbel > 0.001 ? $t_zorbel : 0.001)}")"

echo "== instructions per input byte (callgrind, $(mb "$small") MB)"
valgrind --tool=callgrind --callgrind-out-file="$DATA/callgrind.out" "$B/zorbel" "$small" "/d$DATA/out/" \
  >"$DATA/out/console.txt" 2>"$DATA/callgrind.log" || true
total=$(grep -E '^summary:|^totals:' "$DATA/callgrind.out" | head -1 | awk '{print $2}')
awk "BEGIN{printf \"%s instructions, %.3f per byte\n\", $total, $total / $(stat -c %s "$small")}"

echo "== micro-benchmarks"
"$B/bench/zorbel_bench" --benchmark_min_time=0.2
