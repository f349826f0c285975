# The suite needs more than the program: without it the program builds all
# the same, and configure says in one line what to install.

find_package(GTest QUIET)
pkg_check_modules(xlib QUIET IMPORTED_TARGET x11 xtst)
set(missing "")
if(NOT GTest_FOUND)
    list(APPEND missing libgtest-dev)
endif()
if(NOT xlib_FOUND)
    list(APPEND missing libxtst-dev)
endif()
# The programs the tests start, each with the Debian package that has it.
foreach(need IN ITEMS Xvfb:xvfb xdotool:xdotool ffmpeg:ffmpeg lintian:lintian dpkg-shlibdeps:dpkg-dev
                      appstreamcli:appstream hardening-check:devscripts desktop-file-validate:desktop-file-utils
                      python3:python3 pulseaudio:pulseaudio parec:pulseaudio-utils)
    string(REPLACE ":" ";" need "${need}")
    list(GET need 0 program)
    find_program(HELLO_PULSE_${program} ${program})
    mark_as_advanced(HELLO_PULSE_${program})
    if(NOT HELLO_PULSE_${program})
        list(GET need 1 package)
        list(APPEND missing ${package})
    endif()
endforeach()
if(missing)
    list(JOIN missing " " missing)
    message(STATUS "Tests skipped, missing: ${missing} (apt-get install them, or configure with "
                   "-DBUILD_TESTING=OFF to leave the tests out)")
else()
    set(hello_pulse_tests ON)
    add_subdirectory(tests)
    # ctest reads this before it starts a test: every test, and all it starts
    # (Mesa's shader cache, the package tools), gets a HOME, cache and temp dir
    # in the build tree. (gtest_discover_tests cannot hand a list to ENVIRONMENT.)
    file(WRITE "${PROJECT_BINARY_DIR}/test-environment.cmake"
         "set(ENV{HELLO_PULSE_USER_HOME} \"\$ENV{HOME}\")\n"
         "file(MAKE_DIRECTORY \"${PROJECT_BINARY_DIR}/test-home\" \"${PROJECT_BINARY_DIR}/test-tmp\")\n"
         "set(ENV{HOME} \"${PROJECT_BINARY_DIR}/test-home\")\n"
         "set(ENV{XDG_CACHE_HOME} \"${PROJECT_BINARY_DIR}/test-home/.cache\")\n"
         "set(ENV{TMPDIR} \"${PROJECT_BINARY_DIR}/test-tmp\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${PROJECT_BINARY_DIR}/test-environment.cmake")
endif()
