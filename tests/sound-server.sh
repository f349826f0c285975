#!/bin/sh
# A desktop's sound server for one case, as a spare user (PulseAudio runs as
# root only in system mode) from a home in /var/tmp that the user can reach:
# start DIR [pipewire] (PulseAudio with a null sink, or PipeWire; again after
# kill DIR, on the same socket), record DIR NAME SECONDS (to DIR/NAME.wav), stop DIR.
set -eu
dir=$2
srv=$(cat "$dir/server" 2>/dev/null || true)
client() { env -i PATH=/usr/bin:/bin HOME="$srv" PULSE_SERVER="unix:$srv/run/pulse/native" "$@"; }
# Raised above a busy machine's builds, as a desktop's real-time helper would.
as_user() {
    nice -n -10 setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$srv" \
        XDG_RUNTIME_DIR="$srv/run" DBUS_SESSION_BUS_ADDRESS="unix:path=$srv/run/bus" "$@" \
        </dev/null >>"$srv/log" 2>&1 &
    echo $! >>"$srv/pids"
}
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; cat "$srv/log" >&2 && exit 1; }
answers() { client pactl get-default-sink 2>/dev/null | grep -qv '^@'; } # a sink to play into
case $1 in
start)
    if [ -z "$srv" ]; then
        srv=$(mktemp -d /var/tmp/hello-pulse-sound.XXXXXX)
        printf %s "$srv" >"$dir/server"
        mkdir -m 700 "$srv/run" && mkdir -p "$srv/.config/pulse" "$srv/.config/pipewire/pipewire.conf.d"
        echo "autospawn = no" >"$srv/.config/pulse/client.conf"
        # PipeWire at the clip's rate (a resampled clip is not the clip sample for
        # sample), with room for a shared machine's delays.
        echo "context.properties = { default.clock.rate = 44100 default.clock.min-quantum = 2048 }" \
            >"$srv/.config/pipewire/pipewire.conf.d/test.conf"
        chown -R 65534:65534 "$srv" && chmod 755 "$srv"
    fi
    if [ "${3:-}" = pipewire ]; then
        # WirePlumber, which links streams to sinks, needs a session bus.
        rm -f "$srv/run/bus" "$srv/run/pipewire-0"
        as_user dbus-daemon --session --nofork --address="unix:path=$srv/run/bus"
        wait_for [ -S "$srv/run/bus" ]
        as_user pipewire
        wait_for [ -S "$srv/run/pipewire-0" ]
        as_user wireplumber
        as_user pipewire-pulse
    else
        as_user pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 \
            --load="module-null-sink sink_name=out" --load="module-native-protocol-unix auth-anonymous=1"
    fi
    wait_for answers
    ;;
kill | stop)
    xargs -r kill -KILL <"$srv/pids" || true
    if [ "$1" = kill ]; then : >"$srv/pids"; else rm -rf "$srv" "$dir/server"; fi
    ;;
record)
    client timeout "$4" parec -d @DEFAULT_MONITOR@ --latency-msec=100 --format=float32le --channels=2 \
        --rate=44100 --file-format=wav "$dir/$3.wav" || [ $? -eq 124 ]
    ;;
esac
