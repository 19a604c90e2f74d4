#!/usr/bin/env bash
# The main job on bundled sample data: builds vendro and the local SellerSprite stand-in site,
# starts the site on a free loopback port, runs `vendro seller-sprite collect` against it in
# headless Chromium with a throw-away configuration and a demo account (so the automatic login
# shows), prints the result and stops the site. Then converts the bundled Keepa sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --demo
cmake -S . -B build/app -G Ninja -DVENDRO_BUILD_TESTS=OFF -DVENDRO_BUILD_STAND_IN=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/app --target vendro vendro-sellersprite-site
vendro=build/app/src/vendro/cli/vendro
site=build/app/tests/fixtures/seller_sprite_site/vendro-sellersprite-site

scratch=$(mktemp -d)
site_pid=
cleanup() {
  [[ -n "$site_pid" ]] && kill "$site_pid" 2>/dev/null && wait "$site_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

mkfifo "$scratch/origin"
"$site" --port 0 --username demo --password demo-pass >"$scratch/origin" &
site_pid=$!
read -r origin <"$scratch/origin"
echo "== 卖家精灵替身站点：$origin" >&2

export VENDRO_NO_UPDATE_CHECK=1
echo "== vendro seller-sprite collect（无界面 Chromium，演示账号自动登录）" >&2
VENDRO_CONFIG_DIR="$scratch/config" VENDRO_SELLERSPRITE_ORIGIN="$origin" \
  VENDRO_SELLERSPRITE_USERNAME=demo VENDRO_SELLERSPRITE_PASSWORD=demo-pass \
  "$vendro" seller-sprite collect --headless --keyword "wireless earbuds" --site us \
  --phrase-count 2 --trend-limit 1 --trend-tabs search,ppc --run-dir "$scratch/run"

echo "== vendro keepa convert examples/keepa-product.json" >&2
"$vendro" keepa convert examples/keepa-product.json
