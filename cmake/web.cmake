# The build for the web (scripts/web, through emcmake and emscripten's own
# toolchain file): the program as hello-pulse.js and .wasm, its two data files
# packed beside them as hello-pulse.data, and a page of ours that starts it
# (dist/web/index.html); a zip of the page with everything it loads.

# Asyncify: the library's wait for an event sleeps, and so hands the browser
# back its thread. FULL_ES2: the library draws from client-side arrays, which
# WebGL has only through emscripten's emulation. EXIT_RUNTIME: the page learns
# the exit status. Emscripten 3.1.6 leaves out two of its own functions that
# SDL's sound calls from JavaScript (later ones find them themselves); their
# names start with "$", which CMake would double on the command line, so
# emscripten reads them from a file.
set(funcs "${PROJECT_BINARY_DIR}/library-funcs.json")
file(WRITE "${funcs}" "[\"$autoResumeAudioContext\", \"$dynCall\"]\n")
set(data "${PROJECT_BINARY_DIR}/Verdana.ttf" "${PROJECT_BINARY_DIR}/Sensors7secs.wav")
target_link_options(
    hello-pulse PRIVATE -sASYNCIFY -sFULL_ES2=1 -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 -sENVIRONMENT=web
    "-sDEFAULT_LIBRARY_FUNCS_TO_INCLUDE=@${funcs}"
    # At the root of the page's file system, which the program makes current.
    "SHELL:--preload-file ${PROJECT_BINARY_DIR}/Verdana.ttf@/Verdana.ttf"
    "SHELL:--preload-file ${PROJECT_BINARY_DIR}/Sensors7secs.wav@/Sensors7secs.wav"
)
set_property(TARGET hello-pulse APPEND PROPERTY LINK_DEPENDS ${data})

# ---- Zip ----

install(FILES dist/web/index.html "${PROJECT_BINARY_DIR}/hello-pulse.js" "${PROJECT_BINARY_DIR}/hello-pulse.wasm"
              "${PROJECT_BINARY_DIR}/hello-pulse.data" DESTINATION .)
set(hello_pulse_zip web)
include(cmake/zip.cmake)
