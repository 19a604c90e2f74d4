#!/usr/bin/env bash
# Installs the Debian packages vendro needs, and only those that are missing.
#   scripts/install-deps.sh            what building and running vendro needs
#   scripts/install-deps.sh --tests    plus what the test suite needs (Node.js and npm for the
#                                      tool server's client tests)
#   scripts/install-deps.sh --demo     plus what the demo needs: the local stand-in sites
#                                      (cpp-httplib, OpenSSL for the TLS one) and Chromium
#   scripts/install-deps.sh --bench    plus what the benchmarks need: their peers (jq; Node.js and
#                                      npm for the reference driver of the driver and collector
#                                      benchmarks), GNU time, Chromium, cpp-httplib, OpenSSL and
#                                      Python for Chromium's floor in the driver and collector benchmarks
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config ca-certificates media-types
  nlohmann-json3-dev libyaml-cpp-dev libcurl4-openssl-dev libasio-dev libcli11-dev libutf8proc-dev
  libcpp-httplib-dev
)
for arg in "$@"; do
  case "$arg" in
    --tests)
      packages+=(libgtest-dev libssl-dev chromium)
      # The tool server's tests drive it with the official client library and the conformance
      # suite from npm; the suite brings its own Node.js 22 as the npm package "node".
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      ;;
    --demo) packages+=(libcpp-httplib-dev libssl-dev chromium) ;;
    --bench)
      packages+=(jq time chromium libcpp-httplib-dev libssl-dev)
      # A Node.js installed some other way (with its own npm) is used as it is.
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      # Chromium's own floor in the driver and collector benchmarks is a short Python script.
      command -v python3 >/dev/null || packages+=(python3)
      ;;
    *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "正在安装缺少的软件包：${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q >/dev/null
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
