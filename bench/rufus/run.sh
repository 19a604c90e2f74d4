#!/usr/bin/env bash
# Rufus benchmark: what `vendro rufus capture` costs against the same capture driven by the
# reference driver from npm (playwright-core, reference_capture.js), in the same run, on the same
# Chromium binary and the same local TLS stand-in (vendro-rufus-site, every answer immediate), and
# what `vendro rufus ask` with three questions costs (no peer: printed for the record). Each side
# runs RUNS times (alternating), measured exec to exit, and with the process's own peak RSS (the
# browser it starts is not counted; bench/collector/own_peak_rss.cpp says why). Every capture run
# checks that both sides caught a signed-in streaming request; every ask run, three answers.
# Goals: vendro's capture wall time at most 0.7x the reference's; vendro's peak RSS at most 30 MB.
# Exits 0 whether or not the goals are met, non-zero when a run fails.
#   bench/rufus/run.sh            environment: RUNS (default 5), CHROMIUM (default
#                                 /usr/lib/chromium/chromium)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. bench/lib.sh
runs=${RUNS:-5}
[[ "$runs" =~ ^[1-9][0-9]{0,2}$ ]] || { echo "RUNS 必须是 1 到 999 之间的整数：$runs" >&2; exit 2; }
# The real binary: Debian's /usr/bin/chromium is a wrapper script that adds its own switches.
chromium=${CHROMIUM:-/usr/lib/chromium/chromium}
asin=B0TEST0001
domain=www.amazon.com
timeout_s=60
cookie="session-id=130-1234567-7654321; at-main=Atza|bench; ubid-main=130"
questions=("防水吗？" "续航多久？" "有保修吗？")

scripts/install-deps.sh --bench
[[ -x "$chromium" ]] || { echo "找不到 Chromium 可执行文件：$chromium" >&2; exit 1; }

build=$root/build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVENDRO_BUILD_TESTS=OFF \
  -DVENDRO_BUILD_BENCH=ON -DVENDRO_BUILD_STAND_IN=ON >/dev/null
# The own-RSS library is the collector benchmark's target, not a copy.
ninja -C "$build" -j2 vendro vendro-rufus-site bench_own_peak_rss >/dev/null
vendro=$build/src/vendro/cli/vendro
site=$build/tests/fixtures/rufus_site/vendro-rufus-site
own_rss_lib=$build/bench/collector/libbench_own_peak_rss.so

# The reference driver, pinned by package-lock.json, in a cache folder kept between runs.
install_reference bench/rufus "$build/rufus-reference"

start_scratch

(umask 077 && printf '%s\n' "$cookie" >"$work/cookie")

start_stand_in "$work/site" "$site" --mode chunk_pause_ms=0 || { echo "替身站点没有启动" >&2; exit 1; }
switches=$(jq -r '.chromium_args // empty' "$work/site" 2>/dev/null || true)
[[ "$switches" == *--host-resolver-rules* ]] || { echo "替身站点没有启动" >&2; exit 1; }
port=$(jq -r .port "$work/site")

# Both sides reach the stand-in through the host rules only; no sign-in is taken from outside.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY all_proxy VENDRO_RUFUS_COOKIE
export VENDRO_NO_UPDATE_CHECK=1 VENDRO_CHROMIUM=$chromium VENDRO_CHROMIUM_ARGS=$switches
export VENDRO_CONFIG_DIR=$work/config

# The seed in $work/out came from a signed-in page: a streaming request carrying the page's token.
check_seed() {
  local side=$1
  if ! jq -e '(.request_url | type == "string" and contains("/rufus/cl/streaming"))
      and (.request_headers["anti-csrftoken-a2z"] | type == "string" and length > 0)
      and (.tab_id | type == "string" and length > 0)' "$work/out" >/dev/null 2>&1; then
    echo "$side 没有捕获到已登录页面发出的 /rufus/cl/streaming 请求：" >&2
    head -c 2000 "$work/out" >&2
    echo >&2
    exit 1
  fi
}

# The answers in $work/out: one per question, in order, each answering its own question.
check_answers() {
  local expected
  expected=$(printf '%s\n' "${questions[@]}" | jq -R . | jq -sc .)
  if ! jq -e --argjson q "$expected" 'type == "array" and ([.[].question] == $q)
      and all(.[]; .question as $x | .text | type == "string" and contains($x))' \
    "$work/out" >/dev/null 2>&1; then
    echo "vendro rufus ask 的回答不完整：" >&2
    head -c 2000 "$work/out" >&2
    echo >&2
    exit 1
  fi
}

question_args=()
for q in "${questions[@]}"; do question_args+=(--question "$q"); done

echo "capture 与 ask 各 $runs 次（capture 时 vendro 与参考交替运行）……" >&2
for _ in $(seq "$runs"); do
  measure capture.vendro "$vendro" rufus capture --asin "$asin" --country US \
    --cookie-file "$work/cookie" --timeout "$timeout_s" --quiet
  check_seed vendro
  measure capture.reference node "$root/bench/rufus/reference_capture.js" --asin "$asin" \
    --domain "$domain" --cookie-file "$work/cookie" --timeout "$timeout_s" \
    --executable "$chromium" --switches "$switches"
  check_seed 参考驱动
  measure ask.vendro "$vendro" rufus ask --asin "$asin" --country US \
    --cookie-file "$work/cookie" --timeout "$timeout_s" --quiet "${question_args[@]}"
  check_answers
done

verdict() { awk -v ok="$1" 'BEGIN { print (ok ? "PASS（达成）" : "MISS（未达成）") }'; }

vw=$(median "$work/capture.vendro.wall_ms")
rw=$(median "$work/capture.reference.wall_ms")
aw=$(median "$work/ask.vendro.wall_ms")
vr=$(median "$work/capture.vendro.rss_mb")
rr=$(median "$work/capture.reference.rss_mb")
ar=$(median "$work/ask.vendro.rss_mb")
ratio=$(awk -v v="$vw" -v r="$rw" 'BEGIN { printf "%.2f", v / r }')
# The RSS goal holds for both commands: the larger median decides.
peak=$(awk -v a="$vr" -v b="$ar" 'BEGIN { print (a > b ? a : b) }')

echo
echo "Chromium：$("$chromium" --version 2>/dev/null)；替身站点：127.0.0.1:$port（chunk_pause_ms=0，页面加载后立即发出请求）；每项 $runs 次"
echo "本机：$(nproc) 核，运行结束时的平均负载 $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
echo "capture --asin $asin --country US（打开商品页，捕获第一个 /rufus/cl/streaming 请求）"
echo "  vendro：墙钟中位数 ${vw} 毫秒（$(range "$work/capture.vendro.wall_ms")），进程自身峰值内存 ${vr} MB（$(range "$work/capture.vendro.rss_mb")）"
echo "  参考：  墙钟中位数 ${rw} 毫秒（$(range "$work/capture.reference.wall_ms")），进程自身峰值内存 ${rr} MB（$(range "$work/capture.reference.rss_mb")）"
echo "  墙钟比值（vendro / 参考）：$ratio"
echo
echo "ask --asin $asin --country US，3 个问题（先捕获种子，再在页面内依次提问；无参考）"
echo "  vendro：墙钟中位数 ${aw} 毫秒（$(range "$work/ask.vendro.wall_ms")），进程自身峰值内存 ${ar} MB（$(range "$work/ask.vendro.rss_mb")）"
echo
echo "目标：capture 墙钟 ≤ 0.7 倍参考：$(verdict "$(awk -v x="$ratio" 'BEGIN { print (x <= 0.7) }')")"
echo "      vendro 峰值内存 ≤ 30 MB（capture 与 ask 中较大的中位数 ${peak} MB）：$(verdict "$(awk -v x="$peak" 'BEGIN { print (x <= 30) }')")"
