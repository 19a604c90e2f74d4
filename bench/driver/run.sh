#!/usr/bin/env bash
# Driver benchmark: our Chromium driver (driver_bench) against the reference driver from npm
# (playwright-core, installed into a scratch folder that is removed at exit), in the same run, on
# the same Chromium binary and the same local page served on 127.0.0.1.
#   - the scenario (launch a persistent context, open the page, 100 fills, 100 clicks that each
#     fetch JSON read through the response event, 100 evaluates, waits for elements the page
#     inserts 100, 300 and 800 ms later, close): per-step medians;
#   - the whole process (launch, open the page, close), exec to exit, one process per run, and
#     Chromium's own floor for it (chromium_floor.py, launched with our driver's switches);
#   - each driver process's own peak RSS (the browser it starts is not counted for either).
# Goals: every step at most the reference's time, each wait at most the reference's + 50 ms, the
# whole process at most 0.7x the reference's, peak RSS at most a quarter of the reference's Node
# process.
#   bench/driver/run.sh        environment: RUNS (scenario runs, default 5), OPEN_RUNS (default 7),
#                              CHROMIUM (default /usr/lib/chromium/chromium)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. bench/lib.sh
runs=${RUNS:-5}
open_runs=${OPEN_RUNS:-7}
# The real binary: Debian's /usr/bin/chromium is a wrapper script that adds its own switches.
chromium=${CHROMIUM:-/usr/lib/chromium/chromium}

scripts/install-deps.sh --bench
[[ -x "$chromium" ]] || { echo "找不到 Chromium 可执行文件：$chromium" >&2; exit 1; }

build=$root/build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVENDRO_BUILD_TESTS=OFF \
  -DVENDRO_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j2 driver_bench >/dev/null
ours=$build/bench/driver/driver_bench

start_scratch

echo "正在安装参考驱动（npm playwright-core）到临时目录……" >&2
npm install --prefix "$work/npm" --no-audit --no-fund --no-save --silent playwright-core >/dev/null
export NODE_PATH=$work/npm/node_modules
reference=(node "$root/bench/driver/reference_scenario.js")

start_stand_in "$work/url" "$ours" serve || { echo "本地页面服务没有启动" >&2; exit 1; }
url=$(head -n 1 "$work/url")
[[ -n "$url" ]] || { echo "本地页面服务没有启动" >&2; exit 1; }
prepare_floor "$ours" "$chromium"

# Runs "$@" (which prints one JSON line), appends each field to $work/<side>.<field> and the
# exec-to-exit wall time (ms) to $work/<side>.wall_ms.
record() {
  local side=$1
  shift
  local start end json
  start=$EPOCHREALTIME
  json=$("$@")
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", (e - s) * 1000 }' >>"$work/$side.wall_ms"
  jq -r 'to_entries[] | "\(.key) \(.value)"' <<<"$json" | while read -r key value; do
    echo "$value" >>"$work/$side.$key"
  done
}

# "median min max" of a file of numbers.
stats() {
  sort -g "$1" | awk '{ v[NR] = $1 } END { printf "%s %s %s\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

echo "场景：各 $runs 次（交替运行）……" >&2
for _ in $(seq "$runs"); do
  record ours "$ours" scenario "$url" --executable "$chromium"
  record reference "${reference[@]}" scenario "$url" "$chromium"
done
echo "整个进程（启动、打开本地页面、关闭）：各 $open_runs 次……" >&2
for _ in $(seq "$open_runs"); do
  record ours_open "$ours" open "$url" --executable "$chromium"
  record reference_open "${reference[@]}" open "$url" "$chromium"
  record floor chromium_floor "$url"
done

# One row: label, our file, reference file, the goal for our/reference.
row() {
  local label=$1 mine=$2 theirs=$3 goal=$4
  read -r om omin omax < <(stats "$work/$mine")
  read -r rm rmin rmax < <(stats "$work/$theirs")
  awk -v l="$label" -v om="$om" -v omin="$omin" -v omax="$omax" -v rm="$rm" -v rmin="$rmin" \
    -v rmax="$rmax" -v g="$goal" 'BEGIN {
    ratio = rm > 0 ? om / rm : 0
    verdict = ratio <= g ? "达成" : "未达成"
    printf "%-22s %9.2f %-19s %9.2f %-19s %6.2f  ≤%-5.2f %s\n", l, om,
           "(" sprintf("%.2f", omin) "–" sprintf("%.2f", omax) ")", rm,
           "(" sprintf("%.2f", rmin) "–" sprintf("%.2f", rmax) ")", ratio, g, verdict
  }'
}

# One wait row: label, our file, reference file, the element's delay (ms), the goal for ours minus
# the reference's (ms). Lateness: how long after the element appeared each driver noticed it.
row_diff() {
  local label=$1 mine=$2 theirs=$3 delay=$4 goal=$5
  read -r om omin omax < <(stats "$work/$mine")
  read -r rm rmin rmax < <(stats "$work/$theirs")
  awk -v l="$label" -v om="$om" -v omin="$omin" -v omax="$omax" -v rm="$rm" -v rmin="$rmin" \
    -v rmax="$rmax" -v d="$delay" -v g="$goal" 'BEGIN {
    diff = om - rm
    verdict = diff <= g ? "达成" : "未达成"
    printf "%-22s %9.2f %-19s %9.2f %-19s %+6.1f  ≤+%-4d %s  晚到：我们 %.1f，参考 %.1f\n", l, om,
           "(" sprintf("%.2f", omin) "–" sprintf("%.2f", omax) ")", rm,
           "(" sprintf("%.2f", rmin) "–" sprintf("%.2f", rmax) ")", diff, g, verdict, om - d,
           rm - d
  }'
}

echo
echo "Chromium：$("$chromium" --version 2>/dev/null)；页面：$url；场景 $runs 次，整个进程 $open_runs 次"
printf '%-20s %9s %-19s %9s %-19s %6s  %-6s %s\n' "步骤（毫秒，中位数）" "我们" "（范围）" "参考" \
  "（范围）" "比值" "目标" "结论"
row "启动到第一个标签页" ours.launch_ms reference.launch_ms 1
row "首次打开页面" ours.goto_ms reference.goto_ms 1
row "填写" ours.fill_median_ms reference.fill_median_ms 1
row "点击" ours.click_median_ms reference.click_median_ms 1
row "点击到读完响应体" ours.click_until_body_median_ms reference.click_until_body_median_ms 1
row "执行脚本" ours.evaluate_median_ms reference.evaluate_median_ms 1
row "关闭" ours.close_ms reference.close_ms 1
row "整个进程（毫秒）" ours_open.wall_ms reference_open.wall_ms 0.7
row "峰值内存（MB，场景）" ours.peak_rss_mb reference.peak_rss_mb 0.25
row "峰值内存（MB，整个进程）" ours_open.peak_rss_mb reference_open.peak_rss_mb 0.25
printf '%-20s %9s %-19s %9s %-19s %6s  %-6s %s\n' "等待出现（毫秒，中位数）" "我们" "（范围）" "参考" \
  "（范围）" "差值" "目标" "结论"
for delay in 100 300 800; do
  row_diff "元素 $delay 毫秒后出现" "ours.wait_${delay}_ms" "reference.wait_${delay}_ms" "$delay" 50
done
read -r fm fmin fmax < <(stats "$work/floor.wall_ms")
echo "Chromium 自身下限（与我们相同的启动参数，最少的协议命令：启动、打开页面、等待 load、关闭）：中位数 $fm 毫秒（$fmin–$fmax）"
