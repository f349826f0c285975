# The library and what its addons need (FreeType, Ogg, Vorbis, Theora),
# built static from Debian's original tarballs into a prefix, once: the recipe
# that scripts/windows and scripts/web share. Sourced after lib.sh, not run;
# its text is part of the name of their caches' prefixes.
#
# The caller has fetched the sources into $cache (fetch_sources), sets prefix
# (where all is installed), work (a scratch directory) and platform (its name
# for messages), ogg_options and allegro_options (its own options for those
# builds), and defines these steps, run in this order:
#   platform_cmake ARGS...   CMake's configure, with the platform's toolchain
#   platform_first           what only this platform needs, built first
#   platform_theora ARGS...  Theora's configure, for the platform's host
#   platform_mend            the platform's changes to the library's sources
#
# Every helper here runs in a subshell, "f() ( ... )", as lib.sh's do.

# tarball NAME: the file name of source package NAME's original tarball.
tarball() (
    awk -v p="$1_" 'index($2, p) == 1 { print $2 }' "$cache/tarballs"
)

# unpack NAME [tar options]: the tarball of source package NAME into $work/NAME.
unpack() (
    dir=$work/$1
    tar=$cache/src/$(tarball "$1")
    shift
    rm -rf "$dir" && mkdir -p "$dir" && tar -xf "$tar" -C "$dir" --strip-components=1 "$@"
)

# cmake_build NAME [configure options]: builds $work/NAME and installs it.
cmake_build() (
    name=$1
    shift
    at_work "configuring $name" platform_cmake -S "$work/$name" -B "$work/$name/build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@"
    at_work "building $name" cmake --build "$work/$name/build" -j"$(nproc)"
    at_work "installing $name" cmake --install "$work/$name/build"
)

# licence NAME FILE: a dependency's licence, shipped in the zip.
licence() (
    mkdir -p "$prefix/licences" && cp "$work/$1/$2" "$prefix/licences/$1.txt"
)

# mend FILE SED-SCRIPT: changes the library's FILE, and fails if that changed
# nothing (a new version of the library that needs another look).
mend() (
    file=$work/allegro5/$1
    cp "$file" "$work/unmended"
    sed -i "$2" "$file"
    ! cmp -s "$work/unmended" "$file" || { say "the library's $1 is not as this recipe knows it" && return 1; }
)

# build_library: all of it, unless built before.
build_library() (
    if [ -f "$prefix/done" ]; then
        say "the library and its dependencies, built before: $prefix"
        return 0
    fi
    say "building the library and its dependencies for $platform into $prefix (a few minutes, once)"
    rm -rf "$cache"/allegro-* "$work"
    platform_first
    unpack libogg
    # shellcheck disable=SC2086
    cmake_build libogg $ogg_options
    licence libogg COPYING
    unpack libvorbis
    cmake_build libvorbis
    licence libvorbis COPYING
    unpack freetype
    cmake_build freetype -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON \
        -DFT_DISABLE_BROTLI=ON
    licence freetype docs/FTL.TXT
    # Theora has no CMake build; only its decoder is used (by the video addon).
    unpack libtheora
    licence libtheora COPYING
    (cd "$work/libtheora" && at_work "configuring libtheora" platform_theora --prefix="$prefix" \
        --with-ogg="$prefix" --disable-shared --enable-static --disable-examples --disable-encode \
        --disable-oggtest --disable-vorbistest --disable-sdltest)
    # Its library, headers and modules only: Debian's tarball has not all its documents.
    for part in "-C lib install" "-C include install" "install-pkgconfigDATA"; do
        # shellcheck disable=SC2086
        at_work "building libtheora" make -C "$work/libtheora" -j"$(nproc)" $part
    done
    # Never the library's example programs, demos or documentation. Its
    # generated sources are not in Debian's tarball: its own script makes them.
    unpack allegro5 --exclude='*/examples' --exclude='*/demos' --exclude='*/docs'
    (cd "$work/allegro5" && at_work "generating the library's sources" bash misc/regenerate.sh)
    licence allegro5 LICENSE.txt
    platform_mend
    # shellcheck disable=SC2086
    cmake_build allegro5 -DSHARED=OFF -DWANT_MONOLITH=ON -DWANT_EXAMPLES=OFF -DWANT_DEMO=OFF -DWANT_TESTS=OFF \
        -DWANT_DOCS=OFF -DWANT_RELEASE_LOGGING=OFF -DWANT_PHYSFS=OFF -DWANT_OPENAL=OFF -DWANT_FLAC=OFF \
        -DWANT_OPUS=OFF -DWANT_MODAUDIO=OFF -DWANT_MP3=OFF -DWANT_WEBP=OFF -DWANT_NATIVE_DIALOG=OFF $allegro_options
    # The static module leaves out the define its headers need to link statically.
    sed -i 's/^Cflags: .*/& -DALLEGRO_STATICLINK/' "$prefix/lib/pkgconfig/allegro_monolith-static-5.pc"
    rm -rf "$work"
    touch "$prefix/done"
)
