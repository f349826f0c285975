#!/bin/sh
# The suite's own virtual display, as a ctest fixture: "start DIR" launches a
# private Xvfb on a free display and writes its number to DIR/display; "stop
# DIR" ends it. Given the tests' scratch directory as a third argument, stop
# also ends any server a test left there (a display, or a sound server of
# sound-server.sh) and fails, naming them, on the run's own traces in /tmp or
# HOME: new X sockets of its displays, or new entries with "hello-pulse" in the
# name (its processes keep HOME, TMPDIR and cache in the build tree). All else
# is others' (a browser, a build, the first X server's /tmp/.X11-unix).
#
# -noreset: without it the server resets when its last client leaves, and a
# program connecting in that instant finds no display (the library then fails
# its mouse install, a flake that looks like a real fault).
set -eu
dir=$2
home=${HELLO_PULSE_USER_HOME:-$HOME}

snapshot() { find /tmp /tmp/.X11-unix "$home" "$home/.cache" -mindepth 1 -maxdepth 1 2>/dev/null | LC_ALL=C sort; }
listened() { grep -qs " $1\$" /proc/net/unix; }

# A server killed outright (as a test may) leaves its socket behind. Its
# display may since have gone to another server, whose socket stays.
stop_server() {
    pid=$(cat "$1/pid" 2>/dev/null) || return 0
    sock=/tmp/.X11-unix/X$(cat "$1/display" 2>/dev/null)
    ! grep -qs '^Xvfb$' "/proc/$pid/comm" || kill "$pid" 2>/dev/null || true
    i=0
    while listened "$sock" && kill -0 "$pid" 2>/dev/null && [ $((i += 1)) -le 50 ]; do sleep 0.1; done
    listened "$sock" || rm -f "$sock"
    rm -f "$1/display" "$1/pid"
}

case $1 in
start)
    mkdir -p "$dir"
    rm -f "$dir/display" "$dir/pid"
    [ -z "${3:-}" ] || snapshot >"$dir/before"
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
    ours=$(cat "$dir/display" ${3:+"$3"/*/xvfb/display} 2>/dev/null | sed 's|^|/tmp/.X11-unix/X|') || true
    for d in "$dir" ${3:+"$3"/*/xvfb}; do
        stop_server "$d"
    done
    for d in ${3:+"$3"/sound-*}; do
        sh "${0%/*}/sound-server.sh" stop "$d"
    done
    [ -n "${3:-}" ] && [ -f "$dir/before" ] || exit 0
    # New names, and changes inside the caches already there; the run's own
    # servers are stopped by now, so a socket still listened on is not its.
    snapshot | LC_ALL=C comm -13 "$dir/before" - >"$dir/left"
    find "$home/.cache" -mindepth 2 -maxdepth 2 -newer "$dir/before" >>"$dir/left" 2>/dev/null || true
    status=0
    while IFS= read -r f; do
        case "$f" in *hello-pulse*) ;; *) printf '%s\n' "$ours" | grep -qxF "$f" || continue ;; esac
        listened "$f" || { echo "left outside the build tree: $f" >&2 && status=1; }
    done <"$dir/left"
    exit $status
    ;;
esac
