# Starts and stops a private headless sway (wlroots) for the tests: a second compositor
# implementation beside Weston. Source it, then call start_sway; the compositor's PID is kept in
# SWAY_PID and stop_sway ends exactly that process. sway renders without a GPU (pixman) and lets
# clients read its pixels back (wlr-screencopy, grim). It refuses to run as root: run as root, the
# script runs it as the unprivileged system user lumivarex-compositor (made on first use), whose
# private 0700 runtime directory holds the socket; clients get its full path in WAYLAND_DISPLAY.

source "$(dirname "${BASH_SOURCE[0]}")/compositor_user.sh"

SWAY_PID=""
SWAY_RUNTIME_DIR=""

start_sway() { # [WIDTHxHEIGHT [SCALE]]: the output's size in logical pixels, as Weston's
    local size=${1:-1024x640} scale=${2:-1}
    local pixels="$((${size%x*} * scale))x$((${size#*x} * scale))"
    SWAY_RUNTIME_DIR=$(mktemp -d /tmp/lumivarex-sway.XXXXXX)
    chmod 700 "$SWAY_RUNTIME_DIR"
    cat >"$SWAY_RUNTIME_DIR/config" <<CONFIG
output HEADLESS-1 resolution $pixels position 0 0 scale $scale
xwayland disable
default_border none
CONFIG
    compositor_run_as "$SWAY_RUNTIME_DIR" || return 1
    "${COMPOSITOR_RUN_AS[@]}" env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$SWAY_RUNTIME_DIR" \
        WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        WLR_HEADLESS_OUTPUTS=1 sway -c "$SWAY_RUNTIME_DIR/config" \
        >"$SWAY_RUNTIME_DIR/sway.log" 2>&1 &
    SWAY_PID=$!
    local i socket
    for i in $(seq 1 200); do
        for socket in "$SWAY_RUNTIME_DIR"/wayland-*; do
            if [ -S "$socket" ]; then
                export WAYLAND_DISPLAY=$socket
                return 0
            fi
        done
        kill -0 "$SWAY_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "could not start sway:" >&2
    cat "$SWAY_RUNTIME_DIR/sway.log" >&2
    stop_sway
    return 1
}

stop_sway() {
    if [ -n "$SWAY_PID" ]; then
        kill "$SWAY_PID" 2>/dev/null
        wait "$SWAY_PID" 2>/dev/null
        SWAY_PID=""
    fi
    if [ -n "$SWAY_RUNTIME_DIR" ]; then
        rm -rf "$SWAY_RUNTIME_DIR"
        SWAY_RUNTIME_DIR=""
    fi
}
