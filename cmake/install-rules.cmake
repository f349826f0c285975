# Debian's layout for games and demos: the program in lib/games/hello-pulse/,
# its clip (the same on every architecture) in share/games/hello-pulse/, and
# links beside the program to the clip and the font, as it opens its data in
# its own directory. games/hello-pulse (on Debian's default PATH) is a
# relative link to the program, which finds its data through its own real
# location, so the link may be started from anywhere.

set(hello_pulse_libdir "lib/games/hello-pulse")
set(hello_pulse_datadir "share/games/hello-pulse")
set(hello_pulse_icon_sizes 16 32 48 64 128 256)
# The software centres' name for the demo, reverse-DNS. The project has no
# domain of its own: these use that of its maintainer address (example.org),
# to be changed here, and only here, when it gets one.
set(hello_pulse_domain "org.example")
set(hello_pulse_appid "${hello_pulse_domain}.hello_pulse")
set(hello_pulse_homepage "https://example.org/hello-pulse")

# ---- Hardening ----

# An installed program gets Debian's flags (stack protector, fortified
# functions, relocations resolved at start-up and then read-only, and
# whatever else dpkg-buildflags asks for). A build type that optimises keeps
# its own level (the package's debugging information is stripped anyway); a
# Debug build, which never makes the package, keeps its paths and goes without.
option(HELLO_PULSE_DEBIAN_FLAGS "Build the program with dpkg-buildflags' hardening flags, where present" ON)
find_program(HELLO_PULSE_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(HELLO_PULSE_DPKG_BUILDFLAGS)
set(hello_pulse_ldflags "")
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    set(hello_pulse_ldflags -Wl,-z,relro -Wl,-z,now)
endif()
set(hello_pulse_hardened OFF)
# Its flags are for Debian's own compilers, not for a cross build (MinGW's).
if(HELLO_PULSE_DEBIAN_FLAGS AND HELLO_PULSE_DPKG_BUILDFLAGS AND CMAKE_SYSTEM_NAME STREQUAL "Linux"
   AND NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(hello_pulse_hardened ON)
    set(hardening "$ENV{DEB_BUILD_MAINT_OPTIONS}")
    if(hardening STREQUAL "")
        set(hardening "hardening=+all")
    endif()
    foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
        # From the source tree: its path is the one the flags map away.
        execute_process(
            COMMAND "${CMAKE_COMMAND}" -E env "DEB_BUILD_MAINT_OPTIONS=${hardening}"
                    "${HELLO_PULSE_DPKG_BUILDFLAGS}" --get ${kind}
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY
        )
        separate_arguments(flags UNIX_COMMAND "${flags}")
        if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
            list(FILTER flags EXCLUDE REGEX "^-(O.*|g)$")
        endif()
        set(debian_${kind} ${flags})
    endforeach()
    foreach(target IN ITEMS hello-pulse hello_pulse_greeting)
        target_compile_options(${target} PRIVATE ${debian_CPPFLAGS} ${debian_CXXFLAGS})
    endforeach()
    list(APPEND hello_pulse_ldflags ${debian_LDFLAGS})
endif()
list(REMOVE_DUPLICATES hello_pulse_ldflags)
target_link_options(hello-pulse PRIVATE ${hello_pulse_ldflags})

# ---- Icon ----

# Our own icon, rendered from the font at every size the menus ask for.
add_executable(make-icon tools/make_icon.cpp)
target_link_libraries(make-icon PRIVATE PkgConfig::allegro hello_pulse_warnings)
set(hello_pulse_icons "")
foreach(size IN LISTS hello_pulse_icon_sizes)
    set(icon "${PROJECT_BINARY_DIR}/dist/icons/hello-pulse-${size}.png")
    add_custom_command(
        OUTPUT "${icon}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/dist/icons"
        COMMAND make-icon "${HELLO_PULSE_FONT}" ${size} "${icon}"
        DEPENDS make-icon "${HELLO_PULSE_FONT}"
        COMMENT "Rendering the ${size} px icon"
    )
    list(APPEND hello_pulse_icons "${icon}")
endforeach()

# ---- Documents ----

set(HELLO_PULSE_MAINTAINER "hello-pulse developers <hello-pulse@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
set(version "${PROJECT_VERSION}")
set(maintainer "${HELLO_PULSE_MAINTAINER}")
configure_file(dist/changelog.in "${PROJECT_BINARY_DIR}/dist/changelog" @ONLY)
# The release's date, for the manual page and the software centres: that of
# the changelog's top entry (" -- NAME  Mon, 07 Dec 2026 23:00:00 +0000").
file(STRINGS dist/changelog.in trailers REGEX "^ -- ")
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET trailers 0 hello_pulse_release_trailer)
if(NOT hello_pulse_release_trailer MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "dist/changelog.in: no date in its top entry's last line")
endif()
set(day "${CMAKE_MATCH_1}")
set(year "${CMAKE_MATCH_3}")
list(FIND months "${CMAKE_MATCH_2}" month)
math(EXPR month "${month} + 1")
if(month LESS 10)
    set(month "0${month}")
endif()
set(hello_pulse_release_date "${year}-${month}-${day}")
set(date "${hello_pulse_release_date}")
set(appid "${hello_pulse_appid}")
set(developer "${hello_pulse_domain}")
set(homepage "${hello_pulse_homepage}")
configure_file(dist/hello-pulse.metainfo.xml.in "${PROJECT_BINARY_DIR}/dist/${hello_pulse_appid}.metainfo.xml" @ONLY)
# Debian wants changelogs and manual pages compressed, without a timestamp.
add_custom_command(
    OUTPUT "${PROJECT_BINARY_DIR}/dist/changelog.gz"
    COMMAND sh -c "gzip -9nc changelog >changelog.gz"
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}/dist"
    DEPENDS "${PROJECT_BINARY_DIR}/dist/changelog"
    COMMENT "Compressing the changelog"
)
add_custom_target(hello-pulse-dist ALL DEPENDS ${hello_pulse_icons} "${PROJECT_BINARY_DIR}/dist/changelog.gz")

# ---- Install rules ----

install(TARGETS hello-pulse RUNTIME DESTINATION "${hello_pulse_libdir}")
install(FILES "${PROJECT_BINARY_DIR}/Sensors7secs.wav" DESTINATION "${hello_pulse_datadir}")
install(FILES "${PROJECT_BINARY_DIR}/dist/${hello_pulse_appid}.metainfo.xml" DESTINATION share/metainfo)
foreach(size IN LISTS hello_pulse_icon_sizes)
    install(FILES "${PROJECT_BINARY_DIR}/dist/icons/hello-pulse-${size}.png"
            DESTINATION "share/icons/hicolor/${size}x${size}/apps" RENAME hello-pulse.png)
endforeach()
install(FILES dist/copyright "${PROJECT_BINARY_DIR}/dist/changelog.gz" DESTINATION share/doc/hello-pulse)
# The links, the desktop entry and the manual page depend on the prefix, known only now.
configure_file(cmake/install-links.cmake.in "${PROJECT_BINARY_DIR}/dist/install-links.cmake" @ONLY)
install(SCRIPT "${PROJECT_BINARY_DIR}/dist/install-links.cmake")
