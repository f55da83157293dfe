#!/usr/bin/env bash
# Builds the updater and the bench programs (Release, own build directory), generates the
# data under /tmp, serves it with nginx on 127.0.0.1 and prints the results as a Markdown
# table on stdout (progress on stderr). Takes about ten minutes.
#   BENCH_RUNS   runs per side, median reported (default 7)
#   BENCH_BUILD  build directory (default <root>/build-bench)
#   BENCH_KEEP=1 keep the generated data
#   BENCH_ONLY   comma-separated subset: verify,hash,download,https,install,install-checked,startup,perfile,
#                publish,deltas,latency,latency-cold,resume (the last three over a delaying proxy;
#                perfile, publish and deltas only on request; deltas fetches Debian packages with
#                apt-get download and keeps them in <build>/deltas-debs)
#   BENCH_RTT_MS round-trip time of those three (default 100)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"

"$root/scripts/setup-deps.sh"
# Tools that only the benchmarks use: the baselines and the memory measurement.
"$root/scripts/setup-deps.sh" curl openssl time zstd

port="$("$root/scripts/free-port.sh")"
echo "building in $build (server http://127.0.0.1:$port)" >&2
cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DQUORVEX_SERVER_URL="http://127.0.0.1:$port" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

keep=()
[ "${BENCH_KEEP:-0}" = 1 ] && keep=(--keep)
exec python3 "$root/bench/bench.py" --root "$root" --build "$build" --port "$port" \
    --runs "${BENCH_RUNS:-7}" --rtt-ms "${BENCH_RTT_MS:-100}" --only "${BENCH_ONLY:-}" \
    "${keep[@]}"
