# The Windows build (scripts/windows): a zip to unpack anywhere, the program
# with its data beside it, as it runs from the build tree. Its tests run on
# Linux, under Wine (Windows.UnderWineAsOnLinux in tests/demo_test.cpp).

# A window, and no console beside it, when started from Explorer.
set_target_properties(hello-pulse PROPERTIES WIN32_EXECUTABLE ON)
target_link_options(hello-pulse PRIVATE -s) # no symbol table: a third of the size

# ---- Zip ----

configure_file(dist/README-windows.txt "${PROJECT_BINARY_DIR}/README.txt" NEWLINE_STYLE CRLF)
install(TARGETS hello-pulse RUNTIME DESTINATION .)
install(FILES "${PROJECT_BINARY_DIR}/Verdana.ttf" "${PROJECT_BINARY_DIR}/Sensors7secs.wav"
              "${PROJECT_BINARY_DIR}/README.txt" DESTINATION .)
set(hello_pulse_zip windows-x86_64)
include(cmake/zip.cmake)
