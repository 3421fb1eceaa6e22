#!/usr/bin/env bash
# Builds the benchmarks (RelWithDebInfo) and runs every bench_* program in a network namespace
# of its own with only loopback up (the service benchmarks listen on the service's fixed
# ports) and a /dev/shm of its own, then prints one table of the rows they report:
# figure, ours, reference, ratio, with the machine it was measured on.
#
#   bash scripts/bench.sh [BUILD_DIR] [-- extra arguments for every benchmark]
#
# Needs unshare (util-linux) with the right to make namespaces (root, or user namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
if [ $# -gt 0 ] && [ "$1" != "--" ]; then build="$1"; shift; fi
[ "${1:-}" = "--" ] && shift

jobs=$(( $(nproc) > 4 ? 4 : $(nproc) ))
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAROLL_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
isolated() {
  if [ "$(id -u)" = 0 ]; then
    unshare -nm bash -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /dev/shm && ip link set lo up && exec "$@"' bench "$@"
  else
    unshare -rnm bash -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /dev/shm && ip link set lo up && exec "$@"' bench "$@"
  fi
}
for program in "$build"/bench/bench_*; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  echo "running $name" >&2
  if ! isolated "$program" "$@" >"$rows.out" 2>"$rows.err"; then
    echo "$name failed:" >&2
    tail -5 "$rows.err" >&2
  fi
  awk -F'\t' -v program="$name" '$1 == "BENCH" { print program "\t" $2 "\t" $3 "\t" $4 "\t" $5 }' "$rows.out" >>"$rows"
  if ! grep -q '^BENCH' "$rows.out"; then
    echo "$name reported no BENCH rows" >&2
  fi
done
rm -f "$rows.out" "$rows.err"

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "Measured $(date -u +%Y-%m-%d) on $(nproc) x ${cpu:-unknown CPU}, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| benchmark | figure | ours | reference | ratio |"
echo "|---|---|---|---|---|"
awk -F'\t' '{ printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5 }' "$rows"
