#!/usr/bin/env bash
# Runs a test on a private headless Weston of its own: run_on_weston.sh [SIZE [WESTON-ARGS...]] -- COMMAND...
set -euo pipefail
size=1024x640
weston_args=()
if [ "${1:-}" != "--" ]; then size=$1; shift; fi
while [ $# -gt 0 ] && [ "$1" != "--" ]; do weston_args+=("$1"); shift; done
shift
source "$(dirname "$0")/../scripts/lib/weston.sh"
start_weston "$size" "${weston_args[@]}"
trap stop_weston EXIT
"$@"
