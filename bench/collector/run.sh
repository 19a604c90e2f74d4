#!/usr/bin/env bash
# Collector benchmark: what `vendro seller-sprite collect|reverse` costs beyond the fixed waits its
# design prescribes, against the same steps driven by the reference driver from npm
# (playwright-core, reference_collect.js), in the same run, on the same Chromium binary and the
# same local stand-in site (vendro-sellersprite-site --mode login=open, every answer immediate).
# Flows: collect without trend details; collect with 2 trend rows and the tabs search and ppc;
# reverse --asin B0TEST1234. Each side runs RUNS times per flow (alternating), each run on a new
# profile, measured exec to exit, and with the process's own peak RSS (the browser it starts is not
# counted; own_peak_rss.cpp says why GNU time's figure cannot be used for that). Every run checks
# that both sides captured the same sections. Alternating with them, each flow also runs Chromium's
# own floor RUNS times (driver/chromium_floor.py with our driver's switches: launch on a fresh
# profile, open the stand-in's keyword page, wait for load, close): what any driver pays for the
# browser's own launch, first navigation and shutdown, so that vendro's own share stands apart.
# Goals per flow: overhead (median wall minus fixed waits) at most 1.0 s, judged on the raw figure
# and on the overhead beyond the floor's median; at most 0.6x the reference's overhead; vendro's
# peak RSS at most 30 MB.
#   bench/collector/run.sh        environment: RUNS (default 5), CHROMIUM (default
#                                 /usr/lib/chromium/chromium)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. bench/lib.sh
runs=${RUNS:-5}
# The real binary: Debian's /usr/bin/chromium is a wrapper script that adds its own switches.
chromium=${CHROMIUM:-/usr/lib/chromium/chromium}
keyword="wireless earbuds"
asin=B0TEST1234

scripts/install-deps.sh --bench
[[ -x "$chromium" ]] || { echo "找不到 Chromium 可执行文件：$chromium" >&2; exit 1; }

build=$root/build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVENDRO_BUILD_TESTS=OFF \
  -DVENDRO_BUILD_BENCH=ON -DVENDRO_BUILD_STAND_IN=ON >/dev/null
ninja -C "$build" -j2 vendro vendro-sellersprite-site bench_own_peak_rss driver_bench >/dev/null
vendro=$build/src/vendro/cli/vendro
site=$build/tests/fixtures/seller_sprite_site/vendro-sellersprite-site
own_rss_lib=$build/bench/collector/libbench_own_peak_rss.so

# The reference repeats the collector's captcha check word for word.
captcha_of_collector=$(sed -n '/R"JS(/,/)JS"/p' src/vendro/seller_sprite/captcha.cpp |
  sed -e 's/.*R"JS(//' -e 's/)JS";$//')
captcha_of_reference=$(sed -n '/String.raw`/,/^}`;$/p' bench/collector/reference_collect.js |
  sed -e 's/.*String.raw`//' -e 's/`;$//')
if [[ "$captcha_of_collector" != "$captcha_of_reference" ]]; then
  echo "reference_collect.js 中的验证码检测脚本与 captcha.cpp 不一致，请重新复制" >&2
  exit 1
fi

# The reference driver, pinned by package-lock.json, in a cache folder kept between runs.
install_reference bench/collector "$build/collector-reference"

start_scratch
start_stand_in "$work/origin" "$site" --mode login=open || { echo "替身站点没有启动" >&2; exit 1; }
origin=$(head -n 1 "$work/origin")
[[ "$origin" == http://127.0.0.1:* ]] || { echo "替身站点没有启动" >&2; exit 1; }
# The floor opens collect's keyword page (reverse's is served by the same page code).
floor_url=$origin/v3/keyword-miner
prepare_floor "$build/bench/driver/driver_bench" "$chromium"

# Both sides reach the stand-in directly; no login is stored anywhere.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY all_proxy
unset VENDRO_SELLERSPRITE_USERNAME VENDRO_SELLERSPRITE_PASSWORD VENDRO_CHROMIUM_ARGS
export VENDRO_NO_UPDATE_CHECK=1 VENDRO_CHROMIUM=$chromium VENDRO_SELLERSPRITE_ORIGIN=$origin

# vendro's result, reduced to the reference's summary: the sections captured (sorted), the
# required ones missing, and each trend section with its response count.
summarize_vendro() {
  jq -c --argjson sections "$1" '
    def truthy: . != null and . != false and . != 0 and . != "" and . != [] and . != {};
    . as $r
    | { sections: [$sections[] | select($r[.] | truthy)] | sort,
        missing_sections: $r.missing_sections,
        trend: [$r.trend_details[]?.tabs[] | { section, response_count }] }' "$work/out"
}

# Checks one pair of summaries: the same sections and trend sections on both sides, nothing
# required missing, every trend tab with at least one answer, the expected number of trend tabs.
check_same() {
  local flow=$1 ours=$2 theirs=$3 tabs=$4
  local shape='{sections, missing_sections, trend: [.trend[].section]}'
  if [[ "$(jq -c "$shape" <<<"$ours")" != "$(jq -c "$shape" <<<"$theirs")" ]]; then
    echo "两边采集到的分区不一致（$flow）：" >&2
    echo "  vendro：$ours" >&2
    echo "  参考：  $theirs" >&2
    exit 1
  fi
  local complete='(.missing_sections | length) == 0 and (.sections | length) > 0
    and (.trend | length) == $n and all(.trend[]; .response_count > 0)'
  if ! jq -e --argjson n "$tabs" "$complete" <<<"$ours" >/dev/null ||
    ! jq -e --argjson n "$tabs" "$complete" <<<"$theirs" >/dev/null; then
    echo "采集不完整（$flow）：" >&2
    echo "  vendro：$ours" >&2
    echo "  参考：  $theirs" >&2
    exit 1
  fi
}

# One flow, RUNS times on each side, then Chromium's floor, in turn: key, trend tabs walked in all,
# JSON list of the flow's sections, then vendro's subcommand and options, "--", and the reference's
# flow and options.
run_flow() {
  local key=$1 tabs=$2 sections=$3
  shift 3
  local vendro_args=() reference_args=()
  while [[ $1 != -- ]]; do vendro_args+=("$1"); shift; done
  shift
  reference_args=("$@")
  local i ours theirs
  for i in $(seq "$runs"); do
    local config=$work/$key-$i-config
    mkdir -p "$config"
    VENDRO_CONFIG_DIR=$config measure --tree-rss "$key.vendro" "$vendro" seller-sprite \
      "${vendro_args[@]}" --headless --quiet --run-dir "$work/$key-$i-vendro-run"
    ours=$(summarize_vendro "$sections")
    measure --tree-rss "$key.reference" node "$root/bench/collector/reference_collect.js" \
      "${reference_args[@]}" --origin "$origin" --executable "$chromium" \
      --profile "$work/$key-$i-reference-profile" --run-dir "$work/$key-$i-reference-run"
    theirs=$(jq -c . "$work/out")
    check_same "$key" "$ours" "$theirs" "$tabs"
    # Its profile stays until the cleanup below, as vendro's persistent one does.
    measure --wall-only "$key.floor" chromium_floor "$floor_url" "$work/$key-$i-floor-profile"
    rm -rf "$config" "$work/$key-$i-"*
  done
}

mining='["frequency","keyword_mining"]'
reversing='["keyword_reverse","reverse_frequency","reverse_monthly","reverse_stats"]'

# The fixed waits (ms): settle after opening the page 3000, the pause before the login check 1000,
# two dropdown pauses of 500, the phrase length 1000 (collect only), 1000 after the payloads came;
# each trend row 1500 after opening its drawer and 2000 per tab.
settle=3000 login_pause=1000 dropdowns=$((2 * 500)) phrase=1000 after_payloads=1000
collect_waits=$((settle + login_pause + dropdowns + phrase + after_payloads))
reverse_waits=$((settle + login_pause + dropdowns + after_payloads))
trend_rows=2 trend_tabs=2
trend_waits=$((collect_waits + trend_rows * (1500 + trend_tabs * 2000)))

echo "每个流程各 $runs 次（vendro 与参考交替运行）……" >&2
echo "  collect（不采集趋势）" >&2
run_flow collect 0 "$mining" collect --keyword "$keyword" -- collect \
  --keyword "$keyword"
echo "  collect --trend-limit $trend_rows --trend-tabs search,ppc" >&2
run_flow trend $((trend_rows * trend_tabs)) "$mining" collect --keyword "$keyword" \
  --trend-limit "$trend_rows" --trend-tabs search,ppc -- collect --keyword "$keyword" \
  --trend-limit "$trend_rows" --trend-tabs search,ppc
echo "  reverse --asin $asin" >&2
run_flow reverse 0 "$reversing" reverse --asin "$asin" -- reverse \
  --asin "$asin"

# One flow's block: key, label, fixed waits (ms).
report() {
  local key=$1 label=$2 waits=$3
  local vw rw fw vr rr vt rt
  vw=$(median "$work/$key.vendro.wall_ms")
  fw=$(median "$work/$key.floor.wall_ms")
  rw=$(median "$work/$key.reference.wall_ms")
  vr=$(median "$work/$key.vendro.rss_mb")
  rr=$(median "$work/$key.reference.rss_mb")
  vt=$(median "$work/$key.vendro.tree_rss_mb")
  rt=$(median "$work/$key.reference.tree_rss_mb")
  awk -v l="$label" -v f="$waits" -v vw="$vw" -v rw="$rw" -v fw="$fw" -v vr="$vr" -v rr="$rr" \
    -v vt="$vt" -v rt="$rt" -v vrange="$(range "$work/$key.vendro.wall_ms")" \
    -v rrange="$(range "$work/$key.reference.wall_ms")" \
    -v frange="$(range "$work/$key.floor.wall_ms")" 'BEGIN {
    vo = vw - f; ro = rw - f; own = vo - fw
    ratio = ro > 0 ? vo / ro : 0
    printf "\n%s\n", l
    printf "  固定等待：%d 毫秒\n", f
    printf "  vendro：墙钟中位数 %.0f 毫秒（%s），额外开销 %.0f 毫秒\n", vw, vrange, vo
    printf "  参考：  墙钟中位数 %.0f 毫秒（%s），额外开销 %.0f 毫秒\n", rw, rrange, ro
    printf "  开销比值（vendro / 参考）：%s\n", (ro > 0 ? sprintf("%.2f", ratio) : "无法计算（参考开销 ≤ 0）")
    printf "  Chromium 自身下限：中位数 %.0f 毫秒（%s）\n", fw, frange
    printf "  vendro 自身开销（额外开销减去 Chromium 自身下限的中位数）：%.0f 毫秒\n", own
    printf "  进程自身峰值内存：vendro %.1f MB，参考（Node）%.1f MB\n", vr, rr
    printf "  （GNU time 的最大 RSS 含其回收的浏览器子进程：vendro %.1f MB，参考 %.1f MB）\n", vt, rt
    printf "  目标：额外开销（含 Chromium 自身下限）≤ 1.0 秒：%s；vendro 自身开销（不含下限）≤ 1.0 秒：%s\n",
           vo <= 1000 ? "达成" : "未达成", own <= 1000 ? "达成" : "未达成"
    printf "        额外开销 ≤ 0.6 倍参考：%s；vendro 峰值内存 ≤ 30 MB：%s\n",
           (ro > 0 && vo <= 0.6 * ro) ? "达成" : "未达成", vr <= 30 ? "达成" : "未达成"
  }'
}

echo
echo "Chromium：$("$chromium" --version 2>/dev/null)；替身站点：$origin（login=open）；每个流程 $runs 次"
echo "固定等待之外的时间即额外开销。等待网络空闲（networkidle，最长 10 秒）不算固定等待：两边以同样方式等待，计入开销；等待接口响应同样计入开销（vendro 每保存一个响应即醒来检查，参考每 200 毫秒轮询一次）。"
echo "Chromium 自身下限：以 vendro 驱动的启动参数、最少的协议命令在新配置目录上启动 Chromium，打开 $floor_url，等待 load 事件后关闭（配置目录与 vendro 的一样在计时之外删除）；每个流程与两边交替运行 $runs 次。vendro 自身开销 = 额外开销 − 下限中位数。"
report collect "collect（不采集趋势详情）：打开页面 3000 + 登录检查前 1000 + 两次下拉 500 + 词组长度 1000 + 响应后 1000" \
  "$collect_waits"
report trend "collect --trend-limit $trend_rows --trend-tabs search,ppc：以上 + 每行 1500 + 每个标签 2000" \
  "$trend_waits"
report reverse "reverse --asin $asin：打开页面 3000 + 登录检查前 1000 + 两次下拉 500 + 响应后 1000（无词组长度）" \
  "$reverse_waits"
