# The unprivileged system user the test scripts run compositors as when they run as root (sway
# and KWin refuse root or should not have it). Source it, then call compositor_run_as DIR: it makes
# the user on first use, gives it DIR (the compositor's 0700 runtime directory) and sets the array
# COMPOSITOR_RUN_AS to the command prefix that starts a program as that user. setpriv executes the
# program in its own place, so that $! after "${COMPOSITOR_RUN_AS[@]}" program & is the program
# itself. Not root: the prefix is empty and the compositor runs as the caller.

COMPOSITOR_USER=lumivarex-compositor

compositor_run_as() { # DIR
    COMPOSITOR_RUN_AS=()
    [ "$(id -u)" -eq 0 ] || return 0
    if ! id -u "$COMPOSITOR_USER" >/dev/null 2>&1; then
        useradd --system --no-create-home --shell /usr/sbin/nologin "$COMPOSITOR_USER" || return 1
    fi
    chown -R "$COMPOSITOR_USER:" "$1"
    COMPOSITOR_RUN_AS=(setpriv --reuid="$COMPOSITOR_USER" --regid="$COMPOSITOR_USER" --clear-groups)
}
