# Installing the rig as a desktop program (menu entry, icons, AppStream
# metadata, manual page, documentation) and packaging it for Debian with
# CPack. The program's own install rule lives beside its target.
if(NOT TARGET paddle-rig)
  return()
endif()
include(GNUInstallDirs)

set(RIG_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(RIG_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(RIG_APP_ID org.paddlerig.paddle_rig)
target_compile_definitions(paddle-rig PRIVATE RIG_DESKTOP_ID="${RIG_APP_ID}")
set(RIG_PACKAGE_MAINTAINER "Paddle keyer test rig developers <maintainers@paddlerig.org>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")
# AppStream wants a web address for the picture; the project has none yet,
# so the default is a reserved, never-resolving name to replace on release.
set(RIG_SCREENSHOT_URL "https://paddle-rig.invalid/docs/screenshot.png"
    CACHE STRING "Web address of the main window's picture in the AppStream metadata")
# Debian keeps the documentation under the package's name.
set(RIG_DOC_DEST ${CMAKE_INSTALL_DATAROOTDIR}/doc/paddle-rig)

# The program's name is the window caption, which also heads the About box:
# the menu entry, the metadata and the manual page take it from there.
file(STRINGS ${PROJECT_SOURCE_DIR}/app/form/FormLayout.h caption_line REGEX "kWindowCaption = \"")
string(REGEX REPLACE ".*kWindowCaption = \"([^\"]*)\".*" "\\1" RIG_PRODUCT_NAME "${caption_line}")
if(RIG_PRODUCT_NAME STREQUAL "" OR RIG_PRODUCT_NAME STREQUAL "${caption_line}")
  message(FATAL_ERROR "No window caption found in app/form/FormLayout.h")
endif()

# The newest release in the metadata dates the manual page; it must be the
# project version, or the release history has not been written.
file(READ ${RIG_PACKAGING_DIR}/${RIG_APP_ID}.metainfo.xml.in metainfo)
string(REGEX MATCH "<release version=\"([^\"]*)\" date=\"([^\"]*)\"" newest "${metainfo}")
set(RIG_RELEASE_VERSION ${CMAKE_MATCH_1})
set(RIG_RELEASE_DATE ${CMAKE_MATCH_2})
if(NOT RIG_RELEASE_VERSION STREQUAL PROJECT_VERSION)
  message(WARNING "The newest release in ${RIG_APP_ID}.metainfo.xml.in is "
                  "'${RIG_RELEASE_VERSION}', not the project version ${PROJECT_VERSION}: "
                  "add the release there and to packaging/changelog.in")
endif()

configure_file(${RIG_PACKAGING_DIR}/paddle-rig.desktop.in ${RIG_PACKAGING_OUT}/${RIG_APP_ID}.desktop @ONLY)
configure_file(${RIG_PACKAGING_DIR}/${RIG_APP_ID}.metainfo.xml.in
               ${RIG_PACKAGING_OUT}/${RIG_APP_ID}.metainfo.xml @ONLY)
configure_file(${RIG_PACKAGING_DIR}/paddle-rig.1.in ${RIG_PACKAGING_OUT}/paddle-rig.1 @ONLY)
configure_file(${RIG_PACKAGING_DIR}/changelog.in ${RIG_PACKAGING_OUT}/changelog @ONLY)

# Debian wants the manual page and the changelog compressed, reproducibly.
set(compressed)
foreach(name paddle-rig.1 changelog)
  set(plain ${RIG_PACKAGING_OUT}/${name})
  add_custom_command(OUTPUT ${plain}.gz
                     COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${plain} ${plain}.gz
                     DEPENDS ${plain} VERBATIM)
  list(APPEND compressed ${plain}.gz)
endforeach()

# PNG icons rendered from the SVG, for menus that take no SVG.
set(RIG_ICON_SVG ${RIG_PACKAGING_DIR}/paddle-rig.svg)
set(RIG_ICON_SIZES 16 22 24 32 48 64 128 256)
find_program(RIG_RSVG_CONVERT rsvg-convert)
set(icons)
if(RIG_RSVG_CONVERT)
  foreach(size ${RIG_ICON_SIZES})
    set(png ${RIG_PACKAGING_OUT}/icons/${size}x${size}/paddle-rig.png)
    add_custom_command(OUTPUT ${png}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${RIG_PACKAGING_OUT}/icons/${size}x${size}
                       COMMAND ${RIG_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${RIG_ICON_SVG}
                       DEPENDS ${RIG_ICON_SVG} VERBATIM)
    list(APPEND icons ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(WARNING "rsvg-convert not found (librsvg2-bin): only the SVG icon is installed")
endif()
add_custom_target(rig_desktop_files ALL DEPENDS ${compressed} ${icons})

install(FILES ${RIG_PACKAGING_OUT}/${RIG_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${RIG_PACKAGING_OUT}/${RIG_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${RIG_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${RIG_PACKAGING_OUT}/paddle-rig.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/wiring.md ${PROJECT_SOURCE_DIR}/docs/screenshot.png
              ${PROJECT_SOURCE_DIR}/README.md ${RIG_PACKAGING_DIR}/copyright
              ${RIG_PACKAGING_OUT}/changelog.gz
        DESTINATION ${RIG_DOC_DEST})

# The Debian package: runtime dependencies come from the shared libraries
# the program links (dpkg-shlibdeps), the version from the project.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME paddle-rig)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Paddle keyer test rig developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morse paddle keyer test rig with a click-free sidetone")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RIG_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS jackd2)
# CPack heads the description with the summary.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Keys Morse code (CW) from a paddle, a straight key or an external keyer
wired to the modem-status lines of a serial port (CTS for dah, DSR for
dit), or from the keyboard. It times the elements as a straight key or
as an iambic mode A or mode B keyer and plays a sine sidetone whose
envelope runs through a low-pass filter, so it starts and stops without
clicks, through ALSA, JACK or a self-clocked driver that can record the
tone to a WAV file. One window shows the line states and the driver's
latency.")
include(CPack)

# The command line of the built program. Not under the sanitizers: a whole
# program start there checks the toolkit and the drivers more than the rig.
if(RIG_BUILD_TESTS AND RIG_SANITIZE STREQUAL "")
  add_test(NAME ProgramOptions
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/check-options.sh
                   $<TARGET_FILE:paddle-rig> "${RIG_PRODUCT_NAME}" ${PROJECT_VERSION})
  set_tests_properties(ProgramOptions PROPERTIES TIMEOUT 120 LABELS packaging)
endif()
