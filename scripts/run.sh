#!/usr/bin/env bash
# Builds QarnIEx.exe and runs it under Wine in a throw-away prefix: prints its
# version, installs it as a service, shows it installed, and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

qx_ensure_packages
qx_build_win32
trap qx_wine_cleanup EXIT
echo "Setting up a fresh Wine prefix..."
qx_wine_setup

for switch in -v -i -v -u -v; do
    echo
    echo "> QarnIEx.exe $switch"
    qx_wine_run "$switch"
done
