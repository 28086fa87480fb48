# Starts and stops a private headless Weston for the scripts and tests. Source it, then call
# start_weston; the compositor's PID is kept in WESTON_PID and stop_weston ends exactly that
# process. The compositor runs without a GPU (pixman) and with --debug, which lets clients read
# its pixels back (weston-screenshooter). Its socket and runtime files live in a private 0700
# directory of its own, exported as XDG_RUNTIME_DIR with WAYLAND_DISPLAY.

WESTON_PID=""
WESTON_RUNTIME_DIR=""

start_weston() { # [WIDTHxHEIGHT [WESTON-ARGS...]]
    local size=${1:-1024x640}
    shift || true
    WESTON_RUNTIME_DIR=$(mktemp -d /tmp/lumivarex-weston.XXXXXX)
    chmod 700 "$WESTON_RUNTIME_DIR"
    local socket=wayland-lumivarex
    XDG_RUNTIME_DIR=$WESTON_RUNTIME_DIR weston --backend=headless-backend.so --use-pixman \
        --socket=$socket --idle-time=0 --debug --width="${size%x*}" --height="${size#*x}" \
        "$@" >"$WESTON_RUNTIME_DIR/weston.log" 2>&1 &
    WESTON_PID=$!
    local i
    for i in $(seq 1 200); do
        if [ -S "$WESTON_RUNTIME_DIR/$socket" ]; then
            export XDG_RUNTIME_DIR=$WESTON_RUNTIME_DIR WAYLAND_DISPLAY=$socket
            return 0
        fi
        kill -0 "$WESTON_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "could not start weston:" >&2
    cat "$WESTON_RUNTIME_DIR/weston.log" >&2
    stop_weston
    return 1
}

stop_weston() {
    if [ -n "$WESTON_PID" ]; then
        kill "$WESTON_PID" 2>/dev/null
        wait "$WESTON_PID" 2>/dev/null
        WESTON_PID=""
    fi
    if [ -n "$WESTON_RUNTIME_DIR" ]; then
        rm -rf "$WESTON_RUNTIME_DIR"
        WESTON_RUNTIME_DIR=""
    fi
}
