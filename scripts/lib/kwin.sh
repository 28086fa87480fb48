# Starts and stops a private headless KWin (KDE's compositor, its virtual output) for the tests:
# the compositor here that tells clients a fractional scale (wp_fractional_scale_v1), so that
# buffers sized at 150% are seen at all. Source it, then call start_kwin; the compositor's PID is
# kept in KWIN_PID and stop_kwin ends exactly that process. It renders in software (llvmpipe) and
# offers clients no read-back of its pixels. As root it runs as the unprivileged system user
# lumivarex-compositor (made on first use), as sway does, in a private 0700 runtime directory that
# also serves as its home (its settings are written there); clients get the socket's full path in
# WAYLAND_DISPLAY. It needs no D-Bus session.
#
# The installed kwin_wayland carries a file capability (cap_sys_resource). Where the capability
# bounding set lacks it (a container), the kernel refuses to execute the file at all, so a copy of
# the program without it runs, from the runtime directory.

source "$(dirname "${BASH_SOURCE[0]}")/compositor_user.sh"

KWIN_PID=""
KWIN_RUNTIME_DIR=""

start_kwin() { # [WIDTHxHEIGHT [SCALE]]: the output's size in logical pixels and its scale (1.5)
    local size=${1:-1024x640} scale=${2:-1}
    local program
    program=$(command -v kwin_wayland) || {
        echo "kwin_wayland is not installed (Debian's kwin-wayland: scripts/setup --for test)" >&2
        return 1
    }
    KWIN_RUNTIME_DIR=$(mktemp -d /tmp/lumivarex-kwin.XXXXXX)
    chmod 700 "$KWIN_RUNTIME_DIR"
    cp "$program" "$KWIN_RUNTIME_DIR/kwin_wayland" # cp leaves the capability behind
    compositor_run_as "$KWIN_RUNTIME_DIR" || return 1
    "${COMPOSITOR_RUN_AS[@]}" env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$KWIN_RUNTIME_DIR" \
        HOME="$KWIN_RUNTIME_DIR" "$KWIN_RUNTIME_DIR/kwin_wayland" --virtual \
        --width "${size%x*}" --height "${size#*x}" --scale "$scale" --socket wayland-kwin \
        --no-lockscreen --no-global-shortcuts --no-kactivities \
        >"$KWIN_RUNTIME_DIR/kwin.log" 2>&1 &
    KWIN_PID=$!
    local i
    for i in $(seq 1 200); do
        if [ -S "$KWIN_RUNTIME_DIR/wayland-kwin" ]; then
            export WAYLAND_DISPLAY=$KWIN_RUNTIME_DIR/wayland-kwin
            return 0
        fi
        kill -0 "$KWIN_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "could not start kwin_wayland:" >&2
    cat "$KWIN_RUNTIME_DIR/kwin.log" >&2
    stop_kwin
    return 1
}

stop_kwin() {
    if [ -n "$KWIN_PID" ]; then
        kill "$KWIN_PID" 2>/dev/null || true
        wait "$KWIN_PID" 2>/dev/null || true # ended by the signal
        KWIN_PID=""
    fi
    if [ -n "$KWIN_RUNTIME_DIR" ]; then
        rm -rf "$KWIN_RUNTIME_DIR"
        KWIN_RUNTIME_DIR=""
    fi
}
