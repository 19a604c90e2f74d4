#!/usr/bin/env bash
# Builds vendro and converts the bundled sample Keepa product response.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DVENDRO_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/app --target vendro
VENDRO_NO_UPDATE_CHECK=1 build/app/src/vendro/cli/vendro keepa convert examples/keepa-product.json
