# shellcheck shell=bash
# Pieces the benchmark scripts share: sourced by bench/*/run.sh (which run under set -euo
# pipefail from the repository root), never run on its own. Defines functions only; the scratch
# folder, the stand-in and the reference driver are set up when a script calls for them.
#   . bench/lib.sh

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Makes the scratch folder $work and the exit trap that stops the stand-in ($server, when one was
# started) and removes $work.
start_scratch() {
  work=$(mktemp -d)
  server=
  trap cleanup EXIT
}

cleanup() {
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}

# start_stand_in FILE COMMAND...: starts COMMAND in the background with its stdout to FILE, keeps
# its pid in $server for cleanup, and waits up to 5 s for its first complete line (its address).
# Returns non-zero when none came: the caller says which stand-in failed.
start_stand_in() {
  local file=$1
  shift
  "$@" >"$file" &
  server=$!
  for _ in $(seq 100); do
    # read succeeds only on a line that ends in a newline: the address is complete.
    if read -r _ <"$file"; then return 0; fi
    kill -0 "$server" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# install_reference SOURCE CACHE: installs the reference driver pinned by SOURCE/package-lock.json
# with npm ci into the folder CACHE (kept between runs) and points NODE_PATH at it.
install_reference() {
  local source=$1 cache=$2
  mkdir -p "$cache"
  cp "$source/package.json" "$source/package-lock.json" "$cache/"
  echo "正在安装参考驱动（npm ci，playwright-core 按 package-lock.json 固定版本）……" >&2
  npm ci --prefix "$cache" --no-audit --no-fund --silent >/dev/null
  export NODE_PATH=$cache/node_modules
}

# measure [--tree-rss | --wall-only] KEY COMMAND...: runs COMMAND with its stdout to $work/out and
# stderr to $work/err; on failure prints the command and its stderr and exits the script. Appends
# the exec-to-exit wall time (ms) to $work/KEY.wall_ms and, unless --wall-only, the process's own
# peak RSS (MB, through the library $own_rss_lib preloaded into COMMAND) to $work/KEY.rss_mb.
# --tree-rss also runs it under GNU time and appends that figure (MB, which includes the
# descendants it reaped) to $work/KEY.tree_rss_mb.
measure() {
  local mode=own
  case $1 in
    --tree-rss | --wall-only) mode=${1#--}; shift ;;
  esac
  local key=$1
  shift
  local start end status=0 wrapper=()
  if [[ $mode == tree-rss ]]; then wrapper=(/usr/bin/time -f "%M" -o "$work/tree_rss"); fi
  # env execs the program in its own place: the library is loaded by it, not by GNU time.
  if [[ $mode != wall-only ]]; then
    wrapper+=(env LD_PRELOAD="$own_rss_lib" VENDRO_BENCH_RSS_FILE="$work/own_rss")
  fi
  rm -f "$work/own_rss" "$work/tree_rss"
  start=$EPOCHREALTIME
  "${wrapper[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
  end=$EPOCHREALTIME
  if ((status != 0)); then
    echo "运行失败（退出码 $status）：$*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", (e - s) * 1000 }' >>"$work/$key.wall_ms"
  [[ $mode != wall-only ]] || return 0
  [[ -s "$work/own_rss" ]] || { echo "没有得到进程自身的峰值内存：$*" >&2; exit 1; }
  awk '{ printf "%.1f\n", $1 * 1024 / 1e6 }' "$work/own_rss" >>"$work/$key.rss_mb"
  if [[ $mode == tree-rss ]]; then
    awk '{ printf "%.1f\n", $1 * 1024 / 1e6 }' "$work/tree_rss" >>"$work/$key.tree_rss_mb"
  fi
}

# The median and the range ("lo–hi") of a file of numbers, one a line.
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
range() { sort -g "$1" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s–%s", lo, hi }'; }

# prepare_floor DRIVER_BENCH CHROMIUM: readies chromium_floor, which launches CHROMIUM with the
# switches our driver passes (DRIVER_BENCH switches prints them; the list lives in the driver only).
prepare_floor() {
  mapfile -t floor_switches < <("$1" switches)
  ((${#floor_switches[@]})) || { echo "driver_bench 没有给出启动参数" >&2; exit 1; }
  floor_chromium=$2
  # The interpreter itself, not a version manager's shim in front of it (that adds its own start).
  floor_python=$(python3 -c 'import sys; print(sys.executable)')
}

# chromium_floor URL [PROFILE]: one run of Chromium's own floor (driver/chromium_floor.py: launch
# on a fresh profile, open URL, wait for its load event, close), bounded to 30 s. The profile is
# removed within the run, or with PROFILE (a new folder) left for the caller, outside it.
chromium_floor() {
  local profile=()
  if (($# > 1)); then profile=(--profile "$2"); fi
  timeout 30 "$floor_python" "$bench_dir/driver/chromium_floor.py" "${profile[@]}" "$1" \
    "$floor_chromium" "${floor_switches[@]}"
}
