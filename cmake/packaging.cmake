# The Debian package: cpack -G DEB (after the build) writes
# hello-pulse_<version>_<arch>.deb. Its Depends are computed: the libraries
# the program links, by dpkg-shlibdeps, and the package that owns the font.

# ---- Font package ----

get_filename_component(font_real "${HELLO_PULSE_FONT}" REALPATH)
execute_process(
    COMMAND dpkg-query -S "${font_real}"
    OUTPUT_VARIABLE font_owner
    RESULT_VARIABLE font_owner_status
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE
)
set(hello_pulse_font_package "")
if(font_owner_status EQUAL 0)
    string(REGEX REPLACE "^([^:]+):.*" "\\1" hello_pulse_font_package "${font_owner}")
else()
    message(WARNING "No Debian package owns ${font_real}: the package will not depend on a font")
endif()

# ---- Package ----

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hello-pulse)
set(CPACK_PACKAGE_VENDOR "the hello-pulse developers")
set(CPACK_PACKAGE_CONTACT "${HELLO_PULSE_MAINTAINER}")
# The links and the manual page are made for the real prefix: stage with
# DESTDIR so the install scripts see /usr, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${hello_pulse_font_package}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "greeting that pulses in a window while a sound clip loops")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A small graphics demo on the Allegro 5 game library. An 800x600 window shows
a two-line greeting in large letters, a red copy with a white one 5 pixels
right of it and below it, zooming about the window's centre on a four-second
pulse while a sound clip plays over and over. Escape or the window's close
button ends it.
.
It needs a sound device (through PulseAudio, OSS or OpenAL) and an X11
display: without a sound device it does not start.")

# Reproducible: the files in the package are dated from SOURCE_DATE_EPOCH,
# when the packager has not set it that of the commit, else of the changelog.
string(REGEX REPLACE "^ -- .*  " "" changelog_date "${hello_pulse_release_trailer}")
file(
    CONFIGURE
    OUTPUT "${PROJECT_BINARY_DIR}/dist/cpack-date.cmake"
    CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    execute_process(COMMAND git -C "@PROJECT_SOURCE_DIR@" log -1 --format=%ct
                    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT date MATCHES "^[0-9]+$")
        execute_process(COMMAND date -u -d "@changelog_date@" +%s
                        OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    set(ENV{SOURCE_DATE_EPOCH} "${date}")
endif()
]]
    @ONLY
)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/dist/cpack-date.cmake")
include(CPack)
