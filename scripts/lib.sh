# Shared by the project's scripts: sourced, not run.

# The packages each job needs on a fresh Debian 12 machine.
build_packages="cmake g++ make pkg-config fonts-dejavu-core
  liballegro5-dev liballegro-ttf5-dev liballegro-audio5-dev liballegro-acodec5-dev
  liballegro-image5-dev liballegro-video5-dev"
test_packages="libgtest-dev libx11-dev libxtst-dev xvfb xauth libgl1-mesa-dri libopenal1"
# scripts/soak, and what scripts/test adds under CI (sanitizers, valgrind, static analysis).
soak_packages="xvfb xauth libgl1-mesa-dri libopenal1 xdotool gnuplot-nox"
check_packages="valgrind clang-tidy cppcheck"

say() { printf '[%s] %s\n' "${0##*/}" "$*"; }

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
