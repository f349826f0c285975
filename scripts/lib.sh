# Shared by the project's scripts: sourced, not run.

# The packages each job needs on a fresh Debian 12 machine.
build_packages="cmake g++ make pkg-config fonts-dejavu-core libx11-dev
  liballegro5-dev liballegro-ttf5-dev liballegro-audio5-dev liballegro-acodec5-dev
  liballegro-image5-dev liballegro-video5-dev"
test_packages="libgtest-dev libx11-dev libxtst-dev xvfb xauth libgl1-mesa-dri libopenal1"
# The headless preview (scripts/preview) and the Debian package's checks.
preview_packages="xvfb xdotool ffmpeg libgl1-mesa-dri libopenal1"
package_packages="dpkg-dev binutils lintian"
# bench/run: XTest key presses and the number cruncher; for --load and
# --report also the load generator, the renderer's name and the plot.
bench_packages="xdotool python3"
bench_report_packages="stress-ng mesa-utils gnuplot-nox"
# scripts/soak, and what scripts/test adds under CI (sanitizers, valgrind, static analysis).
soak_packages="xvfb xauth libgl1-mesa-dri libopenal1 xdotool gnuplot-nox"
check_packages="valgrind clang-tidy cppcheck"

# Progress lines carry the seconds since the first script started (scripts/run
# hands over to scripts/preview, and the count goes on).
: "${hello_pulse_t0:=$(date +%s)}"
export hello_pulse_t0
say() { printf '[%s %3ss] %s\n' "${0##*/}" "$(($(date +%s) - hello_pulse_t0))" "$*"; }

# Installs whichever of the named Debian packages are missing; a warm machine
# only pays for the dpkg look-ups.
need_packages() {
    missing=
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    say "installing:$missing"
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing >/dev/null
}

# Runs a long, quiet command and says every few seconds that it is still at
# it; its output is shown only when it fails.
at_work() {
    what=$1
    shift
    log=$(mktemp)
    "$@" >"$log" 2>&1 &
    pid=$!
    n=0
    while kill -0 $pid 2>/dev/null; do
        sleep 1
        n=$((n + 1))
        [ $((n % 5)) -ne 0 ] || ! kill -0 $pid 2>/dev/null || say "$what ..."
    done
    rc=0
    wait $pid || rc=$?
    [ $rc -eq 0 ] || cat "$log" >&2
    rm -f "$log"
    return $rc
}
