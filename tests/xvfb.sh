#!/bin/sh
# The suite's own virtual display, as a ctest fixture: "start DIR" launches a
# private Xvfb on a free display and writes its number to DIR/display; "stop
# DIR" ends it. Tests never touch the developer's DISPLAY.
#
# With SCRATCH, the tests' scratch directory, the fixture also checks that the
# run kept to the build tree: stop ends any server a test left under SCRATCH,
# and fails, naming them, on new entries in /tmp or the user's HOME.
#
# -noreset: without it the server resets when its last client leaves, and a
# program connecting in that instant finds no display (the library then fails
# its mouse install, a flake that looks like a real fault).
#
# usage: xvfb.sh start|stop DIR [SCRATCH]
set -eu
dir=$2
scratch=${3:-}
home=${HELLO_PULSE_USER_HOME:-$HOME}

# Where a test could leave something: what is in them, one path a line.
snapshot() {
    find /tmp /tmp/.X11-unix "$home" "$home/.cache" -mindepth 1 -maxdepth 1 2>/dev/null | LC_ALL=C sort
}

# A live Xvfb, not one whose number has since gone to another process.
serving() {
    grep -qs '^Name:.Xvfb$' "/proc/$1/status" && ! grep -qs '^State:.Z' "/proc/$1/status"
}

# Whether a server listens on this socket.
listened() {
    grep -qs " $1\$" /proc/net/unix
}

# Ends the server started into $1. One killed outright (as a test may) leaves
# its socket behind, removed here unless another server has taken it since.
stop_server() {
    pid=$(cat "$1/pid" 2>/dev/null) || return 0
    n=$(cat "$1/display" 2>/dev/null) || n=
    if serving "$pid"; then
        kill "$pid" 2>/dev/null || true
    fi
    i=0
    while serving "$pid" && [ $i -lt 50 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    if [ -n "$n" ] && ! listened "/tmp/.X11-unix/X$n"; then
        rm -f "/tmp/.X11-unix/X$n"
    fi
    rm -f "$1/display" "$1/pid"
}

case $1 in
start)
    mkdir -p "$dir"
    rm -f "$dir/display" "$dir/pid"
    [ -z "$scratch" ] || snapshot >"$dir/before"
    # Detached, with every descriptor away from ctest's pipes, so ctest does
    # not wait on the server; -displayfd reports the display it picked.
    setsid Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
        3>"$dir/display" </dev/null >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/pid"
    i=0
    while [ ! -s "$dir/display" ]; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
            echo "Xvfb did not start:" >&2
            cat "$dir/xvfb.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "Xvfb on :$(cat "$dir/display")"
    ;;
stop)
    stop_server "$dir"
    [ -n "$scratch" ] && [ -f "$dir/before" ] || exit 0
    for d in "$scratch"/*/xvfb; do
        stop_server "$d"
    done
    # New names, and changes inside the cache directories already there.
    { snapshot | LC_ALL=C comm -13 "$dir/before" -; find "$home/.cache" -mindepth 2 -maxdepth 2 \
        -newer "$dir/before" 2>/dev/null || true; } >"$dir/left"
    status=0
    while IFS= read -r f; do
        # The run's own servers are stopped by now: one still listening is not its.
        ! listened "$f" || continue
        echo "left outside the build tree: $f" >&2
        status=1
    done <"$dir/left"
    exit $status
    ;;
esac
