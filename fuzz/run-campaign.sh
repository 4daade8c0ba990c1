#!/usr/bin/env bash
# A libFuzzer campaign over whole runs, seeded with the real-stream fixtures.
#   fuzz/run-campaign.sh [SECONDS]   (default 1800)
set -euo pipefail
cd "$(dirname "$0")/.."
B=build-fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzz_run >/dev/null
corpus="$B/corpus"
mkdir -p "$corpus" "$B/findings"
cp -n tests/fixtures/*.m2v tests/fixtures/*.vob tests/fixtures/*.mpg tests/fixtures/*.ts tests/fixtures/*.m2ts \
  "$corpus"/ 2>/dev/null || true
"$B/fuzz/fuzz_run" -max_total_time="${1:-1800}" -timeout=10 -rss_limit_mb=2048 -max_len=32768 \
  -dict=fuzz/zorbel.dict -artifact_prefix="$B/findings/" -print_final_stats=1 -close_fd_mask=3 "$corpus"
