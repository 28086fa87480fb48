# Under sudo, the scripts install Debian packages as root and do everything else (configure,
# build, run) as the user who called sudo, so that build/ and all in it stay that user's.
# Source it, then call: as_invoking_user TASK "$0" "$@"   (TASK: run or test, for scripts/setup)
# As root through sudo, that installs TASK's packages and runs the script again as the user; it
# does not return. Otherwise it returns at once.

as_invoking_user() {
    local task=$1
    shift
    if [ "$(id -u)" -ne 0 ] || [ -z "${SUDO_USER:-}" ] || [ "$SUDO_USER" = root ]; then
        return 0
    fi
    "$(dirname "${BASH_SOURCE[0]}")/../setup" --for "$task" --packages-only
    echo "Packages are in place; going on as $SUDO_USER"
    exec runuser -u "$SUDO_USER" -- "$@"
}
