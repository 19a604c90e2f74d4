#!/usr/bin/env bash
# Keepa payload conversion benchmark: `vendro keepa convert FILE > /dev/null` against
# `jq . FILE > /dev/null` (the peer, a pretty-printer that converts nothing) on generated Keepa
# product responses of 10 and 50 MB. Median wall time of 3 runs each, in the same run; peak RSS
# of vendro. Goals: at least 5x jq's throughput, peak RSS at most 2x the input size.
#   bench/keepa/run.sh [SIZE_MB ...]      (default: 10 50)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

scripts/install-deps.sh --bench

build=$root/build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVENDRO_BUILD_TESTS=OFF \
  -DVENDRO_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j2 vendro keepa_generate_payload >/dev/null
vendro=$build/src/vendro/cli/vendro
export VENDRO_NO_UPDATE_CHECK=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs "$@" with stdout to /dev/null; prints "<wall seconds> <CPU seconds> <peak RSS KiB>".
measure() {
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f "%U %S %M" -o "$work/usage" "$@" >/dev/null
  end=$EPOCHREALTIME
  read -r user sys rss <"$work/usage"
  awk -v s="$start" -v e="$end" -v u="$user" -v k="$sys" -v r="$rss" \
    'BEGIN { print e - s, u + k, r }'
}

median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

# What the process holds before it reads any input (mostly shared libraries mapped at start), so
# that the growth with the input can be told apart from it.
echo '{}' >"$work/empty.json"
read -r _ _ base_rss < <(measure "$vendro" keepa convert "$work/empty.json")
printf 'vendro 空输入的峰值内存（共享库等固定部分）：%.1f MB\n' "$(awk -v r="$base_rss" 'BEGIN { print r * 1024 / 1e6 }')"

# Wall time is what a user waits; CPU time (user + system) is less disturbed by other load on a
# shared machine. Both ratios are jq's time over vendro's.
printf '%-8s %12s %10s %10s %10s %14s %10s %12s\n' "输入" "vendro MB/s" "jq MB/s" "墙钟倍数" \
  "CPU倍数" "vendro 峰值内存" "内存/输入" "增长/输入"
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(10 50)
for mb in "${sizes[@]}"; do
  file=$work/keepa-$mb.json
  "$build/bench/keepa/keepa_generate_payload" "$file" "$mb" 2>/dev/null
  bytes=$(stat -c %s "$file")
  v_wall=() v_cpu=() j_wall=() j_cpu=() v_rss=0
  for _ in 1 2 3; do
    read -r wall cpu rss < <(measure "$vendro" keepa convert "$file")
    v_wall+=("$wall") v_cpu+=("$cpu")
    if ((rss > v_rss)); then v_rss=$rss; fi
    read -r wall cpu _ < <(measure jq . "$file")
    j_wall+=("$wall") j_cpu+=("$cpu")
  done
  awk -v b="$bytes" -v mb="$mb" -v r="$v_rss" -v base="$base_rss" \
    -v vw="$(median "${v_wall[@]}")" -v jw="$(median "${j_wall[@]}")" \
    -v vc="$(median "${v_cpu[@]}")" -v jc="$(median "${j_cpu[@]}")" 'BEGIN {
    printf "%-8s %12.1f %10.1f %9.1fx %9.1fx %12.1f MB %9.2fx %11.2fx\n", mb " MB", b / vw / 1e6,
           b / jw / 1e6, jw / vw, jc / vc, r * 1024 / 1e6, r * 1024 / b, (r - base) * 1024 / b
  }'
done
