#!/bin/sh
# A desktop's sound server for the case in DIR, run as a spare user (PulseAudio
# runs as root only in system mode) at nice -10 (as a desktop's real-time helper
# would raise it, above a busy machine's builds), from a home in /var/tmp that
# the user can reach and whose socket path fits bind(). "start DIR [pipewire]
# [hung]": PulseAudio with a null sink, or PipeWire and its PulseAudio server,
# on the same socket each time; prints its address; hung: stopped as soon as
# its socket appears. "hang DIR", "wake DIR": stopped, continued (in a session
# of its own, no shell's end continues it). "stop DIR": ended at once, as a
# crash ends it. "record DIR NAME SECONDS": its sound, into DIR/NAME.wav.
set -eu
dir=$2
srv=/var/tmp/hello-pulse-sound.$(printf %s "$dir" | cksum | cut -d' ' -f1)
client() { env -i PATH=/usr/bin:/bin HOME="$srv" PULSE_SERVER="unix:$srv/run/pulse/native" "$@"; }
as_user() {
    setsid nice -n -10 setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$srv" \
        XDG_RUNTIME_DIR="$srv/run" DBUS_SESSION_BUS_ADDRESS="unix:path=$srv/run/bus" "$@" \
        </dev/null >>"$srv/log" 2>&1 &
    echo $! >>"$srv/pids"
}
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; cat "$srv/log" >&2 && exit 1; }
answers() { client pactl get-default-sink 2>/dev/null | grep -qv '^@'; } # a sink to play into
signal() { xargs -r kill -"$1" 2>/dev/null <"$srv/pids" || true; }
case $1 in start | stop) signal CONT && signal KILL && rm -rf "$srv" ;; hang) signal STOP ;; wake) signal CONT ;; esac
case $1 in
start)
    mkdir -p "$srv/run" "$srv/.config/pulse" "$srv/.config/pipewire/pipewire.conf.d" "$srv/.config/wireplumber"
    echo "autospawn = no" >"$srv/.config/pulse/client.conf"
    # No Bluetooth: WirePlumber 0.4 watches logind's seats for it, and quits where
    # there is no logind (a container, a chroot).
    mkdir "$srv/.config/wireplumber/bluetooth.lua.d" && echo "bluez_monitor.enabled = false" \
        >"$srv/.config/wireplumber/bluetooth.lua.d/80-off.lua"
    # PipeWire at PulseAudio's default rate, as the clip's, with room for a
    # shared machine's delays.
    echo "context.properties = { default.clock.rate = 44100 default.clock.min-quantum = 2048 }" \
        >"$srv/.config/pipewire/pipewire.conf.d/test.conf"
    chown -R 65534:65534 "$srv" && chmod 700 "$srv/run"
    if [ "${3:-}" = pipewire ]; then
        # WirePlumber, which links streams to sinks, needs a session bus.
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
    if [ "${4:-}" = hung ]; then wait_for [ -S "$srv/run/pulse/native" ] && signal STOP; else wait_for answers; fi
    printf %s "unix:$srv/run/pulse/native"
    ;;
record)
    client timeout "$4" parec -d @DEFAULT_MONITOR@ --latency-msec=100 --format=float32le --channels=2 \
        --rate=44100 --file-format=wav "$dir/$3.wav" || [ $? -eq 124 ]
    ;;
esac
