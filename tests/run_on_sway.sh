#!/usr/bin/env bash
# Runs a test on a private headless sway of its own: run_on_sway.sh [SIZE [SCALE]] -- COMMAND...
set -euo pipefail
size=1024x640
scale=1
if [ "${1:-}" != "--" ]; then size=$1; shift; fi
if [ "${1:-}" != "--" ]; then scale=$1; shift; fi
shift
source "$(dirname "$0")/../scripts/lib/sway.sh"
start_sway "$size" "$scale"
trap stop_sway EXIT
"$@"
