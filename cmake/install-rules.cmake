# Debian's layout for games and demos: the program and its data together in
# lib/games/hello-pulse/, and games/hello-pulse (on Debian's default PATH)
# a relative link to it. The program finds its data through its own real
# location, so the link may be started from anywhere.

set(hello_pulse_libdir "lib/games/hello-pulse")
set(hello_pulse_icon_sizes 16 32 48 64 128 256)

# An installed program gets Debian's usual hardening: its relocations are
# resolved at start-up and then made read-only.
target_link_options(hello-pulse PRIVATE -Wl,-z,relro -Wl,-z,now)

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

# Debian wants changelogs and manual pages compressed, without a timestamp.
set(HELLO_PULSE_MAINTAINER "hello-pulse developers <hello-pulse@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
set(version "${PROJECT_VERSION}")
set(maintainer "${HELLO_PULSE_MAINTAINER}")
configure_file(dist/changelog.in "${PROJECT_BINARY_DIR}/dist/changelog" @ONLY)
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
install(FILES "${PROJECT_BINARY_DIR}/Sensors7secs.wav" DESTINATION "${hello_pulse_libdir}")
install(FILES dist/hello-pulse.desktop DESTINATION share/applications)
foreach(size IN LISTS hello_pulse_icon_sizes)
    install(FILES "${PROJECT_BINARY_DIR}/dist/icons/hello-pulse-${size}.png"
            DESTINATION "share/icons/hicolor/${size}x${size}/apps" RENAME hello-pulse.png)
endforeach()
install(FILES dist/copyright "${PROJECT_BINARY_DIR}/dist/changelog.gz" DESTINATION share/doc/hello-pulse)
# The links and the manual page's paths depend on the prefix, known only now.
configure_file(cmake/install-links.cmake.in "${PROJECT_BINARY_DIR}/dist/install-links.cmake" @ONLY)
install(SCRIPT "${PROJECT_BINARY_DIR}/dist/install-links.cmake")
