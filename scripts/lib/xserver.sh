# Starts and stops a private Xvfb for the scripts. Source it, then call start_xserver; the server's
# PID is kept in XSERVER_PID and stop_xserver ends exactly that process.

XSERVER_PID=""

start_xserver() { # [SCREEN [XVFB-ARGS...]]
    local screen=${1:-1280x800x24}
    shift || true
    local n
    for n in $(seq 91 140); do
        [ -e "/tmp/.X${n}-lock" ] || [ -e "/tmp/.X11-unix/X${n}" ] && continue
        Xvfb ":$n" -screen 0 "$screen" -nolisten tcp -noreset "$@" >/dev/null 2>&1 &
        XSERVER_PID=$!
        local i
        for i in $(seq 1 100); do
            if [ -e "/tmp/.X11-unix/X${n}" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            kill -0 "$XSERVER_PID" 2>/dev/null || break
            sleep 0.05
        done
        kill "$XSERVER_PID" 2>/dev/null
        wait "$XSERVER_PID" 2>/dev/null
        XSERVER_PID=""
    done
    echo "could not start Xvfb" >&2
    return 1
}

stop_xserver() {
    if [ -n "$XSERVER_PID" ]; then
        kill "$XSERVER_PID" 2>/dev/null
        wait "$XSERVER_PID" 2>/dev/null
        XSERVER_PID=""
    fi
}
