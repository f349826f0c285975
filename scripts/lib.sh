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
# scripts/web: the build for the web with Debian's emscripten.
web_packages="cmake g++ make pkg-config fonts-dejavu-core python3 indent emscripten"

# The suite's case of the web build: the browser, and the zip's unpacker.
browser_packages="chromium unzip"

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

# debian_mirror [ARCHIVE]: the URI of Debian's archive ("debian", or ARCHIVE:
# "debian-security") as this machine's apt configuration names it, in
# sources.list and in sources.list.d's one-line (*.list) and deb822
# (*.sources) files, so the scripts that fetch Debian's sources or make a
# Debian system use the mirror the machine already uses. Fails, saying so,
# where apt names none.
debian_mirror() (
    archive=${1:-debian}
    list=/etc/apt/sources.list
    parts=/etc/apt/sources.list.d/
    if command -v apt-config >/dev/null; then
        eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
    fi
    uri=$({
        # One-line entries: "deb [options] URI SUITE COMPONENT...".
        cat "$list" "$parts"*.list 2>/dev/null |
            sed -n 's/^[[:space:]]*deb\(-src\)\{0,1\}[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]*\)\{0,1\}\([^[:space:]]*\).*/\3/p'
        # deb822 stanzas: their URIs fields, unless the stanza is disabled.
        for f in "$parts"*.sources; do
            [ -f "$f" ] && awk 'BEGIN { RS = ""; FS = "\n" }
                tolower($0) !~ /(^|\n)enabled:[ \t]*no/ {
                    for (i = 1; i <= NF; i++) if (tolower($i) ~ /^uris:/) { sub(/^[^:]*:/, "", $i); print $i } }' "$f"
        done
    } | tr -s ' \t' '\n\n' | grep -E "^[a-z+]+:.*/$archive/?\$" | head -n 1)
    [ -n "$uri" ] || { say "no Debian archive (a URI ending in /$archive) in $list or $parts" >&2 && return 1; }
    echo "${uri%/}"
)

# fetch_sources DIR PACKAGE/RELEASE...: the original tarballs of Debian's
# source packages (e.g. allegro5/trixie) into DIR/src, each checked against
# the archive's checksum, and their list in DIR/tarballs ("URI NAME SIZE
# SHA256:SUM" a line). Through a private list of the releases' sources in
# DIR/apt, from the machine's own mirror, refreshed once a day: the machine's
# apt configuration is only read.
fetch_sources() (
    dir=$1
    shift
    mirror=$(debian_mirror)
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/parts" "$dir/src"
    for release in $(printf '%s\n' "$@" | sed 's:.*/::' | sort -u); do
        echo "deb-src $mirror $release main"
    done >"$dir/apt/sources.list.new"
    # Another mirror or release: the old lists go.
    if ! cmp -s "$dir/apt/sources.list.new" "$dir/apt/sources.list"; then
        find "$dir/apt/lists" -type f -delete
    fi
    mv "$dir/apt/sources.list.new" "$dir/apt/sources.list"
    if [ -z "$(find "$dir/apt/lists" -name '*_Sources*' -mtime -1)" ]; then
        at_work "updating the list of Debian's source packages" srcapt "$dir" apt-get update -q
    fi
    # Only the original tarballs: Debian's packaging is not used.
    srcapt "$dir" apt-get source --print-uris "$@" 2>/dev/null | grep "\.orig\.tar\.[a-z0-9]* " >"$dir/tarballs" ||
        { say "no source packages for: $*" >&2 && return 1; }
    while read -r uri name _ sum; do
        [ -f "$dir/src/$name" ] && echo "${sum#SHA256:}  $dir/src/$name" | sha256sum -c --quiet - && continue
        say "fetching $name"
        # apt's own downloader checks the file against the archive's checksum.
        srcapt "$dir" /usr/lib/apt/apt-helper download-file "$(echo "$uri" | tr -d "'")" "$dir/src/$name" "$sum" >/dev/null
    done <"$dir/tarballs"
)

# srcapt DIR COMMAND...: an apt command on fetch_sources's private list in DIR.
srcapt() (
    dir=$1
    shift
    "$@" -o Dir::Etc::SourceList="$dir/apt/sources.list" -o Dir::Etc::SourceParts="$dir/apt/parts" \
        -o Dir::State::Lists="$dir/apt/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
        -o APT::Sandbox::User="$(id -un)"
)
