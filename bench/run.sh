#!/usr/bin/env bash
# Throughput of a whole run against the speed of reading the file (cat) and against
# ffmpeg's caption extraction, on large streams grown from a real-encoder fixture.
# Prints MB/s, the ratios, peak memory and instructions per input byte (callgrind).
#
#   bench/run.sh            (ZORBEL_BENCH_MB=1024 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

B=build-bench
SIZE_MB=${ZORBEL_BENCH_MB:-1024}
SOURCE=${ZORBEL_BENCH_SOURCE:-tests/fixtures/ntsc.m2v}
FPS=${ZORBEL_BENCH_FPS:-30}
DATA=${ZORBEL_BENCH_DATA:-$B/data}

cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=Release -DZORBEL_BENCH=ON -DZORBEL_TESTS=OFF >/dev/null
cmake --build "$B" -j2 >/dev/null
mkdir -p "$DATA" "$DATA/out"

es="$DATA/large.m2v"; ps="$DATA/large.vob"; mid="$DATA/mid.m2v"; small="$DATA/small.m2v"
[ -s "$es" ] || "$B/bench/repeat_gops" "$SOURCE" "$es" "$SIZE_MB" "$FPS"
[ -s "$mid" ] || "$B/bench/repeat_gops" "$SOURCE" "$mid" 32 "$FPS"
[ -s "$small" ] || "$B/bench/repeat_gops" "$SOURCE" "$small" 50 "$FPS"
if [ ! -s "$ps" ]; then
  ffmpeg -v error -y -f mpeg2video -i "$es" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 64k -shortest -f dvd "$ps"
fi

seconds() { # command... -> wall seconds of the best of 3 runs; peak KB into $DATA/peak.txt
  local best="" t peak
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %M" -o "$DATA/time.txt" "$@" >/dev/null 2>&1 || true
    read -r t peak <"$DATA/time.txt"
    echo "$peak" >"$DATA/peak.txt"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}
mb() { awk "BEGIN{printf \"%.1f\", $(stat -c %s "$1") / 1048576}"; }
rate() { awk "BEGIN{printf \"%.0f\", $1 / ($2 > 0.001 ? $2 : 0.001)}"; }

# stdout and the output files go to real files, as in real use.
zorbel_cmd() { echo "'$B/zorbel' '$1' '/d$DATA/out/' > '$DATA/out/console.txt'"; }

echo "== whole-process throughput (best of 3, page cache warm)"
for f in "$es" "$ps"; do
  cat "$f" >/dev/null
  size=$(mb "$f")
  t_cat=$(seconds sh -c "cat '$f' > /dev/null")
  t_zorbel=$(seconds sh -c "$(zorbel_cmd "$f")")
  peak=$(cat "$DATA/peak.txt")
  printf '%-28s %8s MB  cat %6s MB/s  zorbel %6s MB/s  zorbel/cat %.2f  peak %s KB\n' \
    "$(basename "$f")" "$size" "$(rate "$size" "$t_cat")" "$(rate "$size" "$t_zorbel")" \
    "$(awk "BEGIN{print $t_zorbel / ($t_cat > 0.001 ? $t_cat : 0.001)}")" "$peak"
done

echo "== against ffmpeg's caption extraction ($(mb "$mid") MB)"
cat "$mid" >/dev/null
t_zorbel=$(seconds sh -c "$(zorbel_cmd "$mid")")
t_ffmpeg=$(seconds ffmpeg -v error -y -f lavfi -i "movie=$mid[out0+subcc]" -map 0:1 "$DATA/out/ffmpeg.srt")
printf 'zorbel %.3f s  ffmpeg %.3f s  ffmpeg/zorbel %.0f\n' "$t_zorbel" "$t_ffmpeg" \
  "$(awk "BEGIN{print $t_ffmpeg / ($t_zorbel > 0.001 ? $t_zorbel : 0.001)}")"

echo "== instructions per input byte (callgrind, $(mb "$small") MB)"
valgrind --tool=callgrind --callgrind-out-file="$DATA/callgrind.out" "$B/zorbel" "$small" "/d$DATA/out/" \
  >"$DATA/out/console.txt" 2>"$DATA/callgrind.log" || true
total=$(grep -E '^summary:|^totals:' "$DATA/callgrind.out" | head -1 | awk '{print $2}')
awk "BEGIN{printf \"%s instructions, %.3f per byte\n\", $total, $total / $(stat -c %s "$small")}"

echo "== micro-benchmarks"
"$B/bench/zorbel_bench" --benchmark_min_time=0.2
