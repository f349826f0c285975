# Shared by the project's scripts: sourced, not run.

# The packages each job needs on a fresh Debian 12 machine.
build_packages="cmake g++ make pkg-config fonts-dejavu-core libx11-dev
  liballegro5-dev liballegro-ttf5-dev liballegro-audio5-dev liballegro-acodec5-dev
  liballegro-image5-dev liballegro-video5-dev"
test_packages="libgtest-dev libx11-dev libxtst-dev xvfb xauth libgl1-mesa-dri libopenal1
  pulseaudio pulseaudio-utils"
# The headless preview (scripts/preview) and the Debian package's checks.
preview_packages="xvfb xdotool ffmpeg libgl1-mesa-dri libopenal1"
package_packages="dpkg-dev binutils lintian appstream devscripts desktop-file-utils"
# bench/run: XTest key presses and the number cruncher; for --load and
# --report also the load generator, the renderer's name and the plot.
bench_packages="xdotool python3"
bench_report_packages="stress-ng mesa-utils gnuplot-nox"
# scripts/soak, and what scripts/test adds under CI (sanitizers, valgrind, static analysis).
soak_packages="xvfb xauth libgl1-mesa-dri libopenal1 xdotool gnuplot-nox"
check_packages="valgrind clang-tidy cppcheck"
# The long test of a desktop sound server that is PipeWire's.
pipewire_packages="pipewire pipewire-pulse wireplumber dbus-daemon"
# scripts/windows: the cross-build for Windows, and Wine with a window manager
# for the suite's checks of it.
windows_packages="cmake g++ make pkg-config fonts-dejavu-core python3 indent xz-utils g++-mingw-w64-x86-64-posix
  wine wine64 openbox"

# The pkg-config modules of the -dev packages above, named on systems where
# the packages have other names.
dev_modules="liballegro5-dev:allegro-5,allegro_font-5,allegro_primitives-5 liballegro-ttf5-dev:allegro_ttf-5
  liballegro-audio5-dev:allegro_audio-5 liballegro-acodec5-dev:allegro_acodec-5
  liballegro-image5-dev:allegro_image-5 liballegro-video5-dev:allegro_video-5 libx11-dev:x11
  libxtst-dev:xtst libgtest-dev:gtest"

# Progress lines carry the seconds since the first script started (scripts/run
# hands over to scripts/preview, and the count goes on).
: "${hello_pulse_t0:=$(date +%s)}"
export hello_pulse_t0
say() ( printf '[%s %3ss] %s\n' "${0##*/}" "$(($(date +%s) - hello_pulse_t0))" "$*" )

# Installs whichever of the named Debian packages are missing; a warm machine
# only pays for the dpkg look-ups. Without apt-get (or root or sudo) it names
# what to install, as Debian packages and pkg-config modules, and the script
# goes on to try the build.
#
# Every helper here runs in a subshell, "f() ( ... )": it cannot change its
# caller's variables (a count named "all" once turned scripts/test --all off).
need_packages() (
    missing=
    for p in "$@"; do
        case "$missing " in *" $p "*) continue ;; esac
        command -v dpkg >/dev/null && dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! command -v apt-get >/dev/null || { [ -n "$sudo" ] && ! command -v sudo >/dev/null; }; then
        modules=
        for p in $missing; do
            for m in $dev_modules; do
                [ "${m%%:*}" != "$p" ] || modules="$modules $(echo "${m#*:}" | tr , ' ')"
            done
        done
        say "no apt-get here (or not root and no sudo): if what follows fails, install these first,"
        say "  as Debian names them:$missing"
        [ -z "$modules" ] || say "  and as pkg-config modules:$modules"
        return 0
    fi
    # shellcheck disable=SC2086
    set -- $missing
    export DEBIAN_FRONTEND=noninteractive
    at_work "updating the package lists" $sudo apt-get update -q
    # shellcheck disable=SC2086
    all=$(apt-get install -s --no-install-recommends $missing | grep -c '^Inst') || true
    say "installing $# of the packages it needs ($all with their dependencies):$missing"
    # shellcheck disable=SC2086
    at_work "installing" $sudo apt-get install -y -q --no-install-recommends -o APT::Status-Fd=1 $missing
)

# at_work [--show] WHAT COMMAND...: runs a long command with its output in a
# log, shown as it comes with --show, else only if the command fails. After
# 8 s with nothing shown it says it is still at WHAT, with the last line of
# the log (a test starting, the build's or apt's progress).
at_work() (
    # Not clang's counts of what it left out of headers, nor colour codes;
    # apt's status lines ("pmstatus:PACKAGE:PERCENT:WHAT") as "PERCENT% WHAT".
    noise=' warnings\{0,1\} generated\.$'
    tidy="s/$(printf '\033')\\[[0-9;]*m//g; s/^ *//; s/^[dp][lm]status:[^:]*:\\([0-9]*\\)[.0-9]*:/\\1% /"
    show=false
    if [ "$1" = --show ]; then
        show=true
        shift
    fi
    what=$1
    shift
    log=$(mktemp)
    "$@" >"$log" 2>&1 &
    pid=$!
    shown=
    if $show; then
        tail -n +1 -s 0.5 -f --pid=$pid "$log" &
        shown=$!
    fi
    size=0
    quiet=0
    while kill -0 $pid 2>/dev/null; do
        sleep 1
        quiet=$((quiet + 1))
        if $show && [ "$(stat -c %s "$log")" -ne "$size" ]; then
            size=$(stat -c %s "$log")
            quiet=0
        elif [ $quiet -ge 8 ] && kill -0 $pid 2>/dev/null; then
            last=$({ grep '^[dp][lm]status:' "$log" || grep -v "$noise" "$log"; } | grep '[[:alpha:]]' |
                tail -n 1 | sed "$tidy" | cut -c 1-80)
            say "$what ...${last:+ ($last)}"
            quiet=0
        fi
    done
    rc=0
    wait $pid || rc=$?
    if $show; then
        wait $shown
    elif [ $rc -ne 0 ]; then
        grep -v "$noise" "$log" >&2
    fi
    rm -f "$log"
    return $rc
)
