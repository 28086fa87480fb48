#!/usr/bin/env bash
# Runs a test on a private Xvfb of its own: run_on_xvfb.sh SCREEN [XVFB-ARGS...] -- COMMAND...
# For tests that need a server unlike the suite's (another depth, a fake refresh rate).
set -euo pipefail
screen=$1
shift
xvfb_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do xvfb_args+=("$1"); shift; done
shift
source "$(dirname "$0")/../scripts/lib/xserver.sh"
start_xserver "$screen" "${xvfb_args[@]}"
trap stop_xserver EXIT
"$@"
