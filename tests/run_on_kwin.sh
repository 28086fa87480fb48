#!/usr/bin/env bash
# Runs a test on a private headless KWin of its own: run_on_kwin.sh [SIZE [SCALE]] -- COMMAND...
set -euo pipefail
size=1024x640
scale=1
if [ "${1:-}" != "--" ]; then size=$1; shift; fi
if [ "${1:-}" != "--" ]; then scale=$1; shift; fi
shift
source "$(dirname "$0")/../scripts/lib/kwin.sh"
start_kwin "$size" "$scale"
trap stop_kwin EXIT
"$@"
