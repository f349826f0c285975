#!/bin/sh
# The suite's own virtual display, as a ctest fixture: "start DIR" launches a
# private Xvfb on a free display and writes its number to DIR/display; "stop
# DIR" ends it. Tests never touch the developer's DISPLAY.
#
# -noreset: without it the server resets when its last client leaves, and a
# program connecting in that instant finds no display (the library then fails
# its mouse install, a flake that looks like a real fault).
set -eu
dir=$2
case $1 in
start)
    mkdir -p "$dir"
    rm -f "$dir/display" "$dir/pid"
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
    if [ -f "$dir/pid" ]; then
        kill "$(cat "$dir/pid")" 2>/dev/null || true
    fi
    rm -f "$dir/display" "$dir/pid"
    ;;
esac
