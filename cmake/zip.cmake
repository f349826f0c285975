# A zip to unpack anywhere, for Windows (windows.cmake) and the web
# (web.cmake): what the platform installs at its top, with LICENSE and the
# licences of the font and of the libraries built in. Named
# hello-pulse-VERSION-PLATFORM, PLATFORM in hello_pulse_zip.

set(HELLO_PULSE_LICENCES "" CACHE PATH "Licences of the libraries linked in, one NAME.txt each")
install(FILES LICENSE DESTINATION .)
install(FILES data/Verdana.ttf.LICENSE DESTINATION licences)
if(HELLO_PULSE_LICENCES)
    install(DIRECTORY "${HELLO_PULSE_LICENCES}/" DESTINATION licences)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME "hello-pulse-${PROJECT_VERSION}-${hello_pulse_zip}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
