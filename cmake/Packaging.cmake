# Install rules and the Debian packages (cpack -G DEB in the build folder).
# Three packages, so that a machine at a production line can take the
# command-line tool without Qt:
#   ostrelo-cli  ostrelo-cli with its manual page, and ostrelo-mkfw (no Qt)
#   ostrelo      the window (appOstrelo) with its desktop entry and icon
#   libtavrix    libTavrix with its header, its pkg-config file and the udev
#                rules for its adapters
include(GNUInstallDirs)
# The packages install below /usr, where Debian keeps libraries in the
# multiarch folder; GNUInstallDirs only picks that when configured for /usr.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR MATCHES "${CMAKE_LIBRARY_ARCHITECTURE}")
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

set(OSTRELO_MAINTAINER "Ostrelo Developers <dev@ostrelo.invalid>"
    CACHE STRING "Maintainer field of the Debian packages: Name <address>")

set(_pkg ${CMAKE_SOURCE_DIR}/cmake/package)
set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc)

# Every package carries the copyright file where Debian looks for it.
function(ostrelo_package_docs component package)
    install(FILES ${_pkg}/copyright DESTINATION ${_doc}/${package} COMPONENT ${component})
endfunction()

if(TARGET ostrelo-cli)
    install(TARGETS ostrelo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
    set(_man ${CMAKE_BINARY_DIR}/ostrelo-cli.1.gz)
    add_custom_command(OUTPUT ${_man}
        COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:ostrelo-cli> -DOUT=${_man} -DVERSION=${PROJECT_VERSION}
                -P ${_pkg}/make_manpage.cmake
        DEPENDS ostrelo-cli ${_pkg}/make_manpage.cmake ${_pkg}/ostrelo-cli.sections
        COMMENT "Manual page of ostrelo-cli")
    add_custom_target(ostrelo_manpage ALL DEPENDS ${_man})
    install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${_doc}/ostrelo-cli COMPONENT cli)
    ostrelo_package_docs(cli ostrelo-cli)
endif()
if(TARGET ostrelo-mkfw)
    install(TARGETS ostrelo-mkfw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endif()

if(TARGET appOstrelo)
    install(TARGETS appOstrelo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
    install(FILES ${_pkg}/ostrelo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
    install(FILES ${_pkg}/ostrelo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            COMPONENT app)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${_doc}/ostrelo COMPONENT app)
    ostrelo_package_docs(app ostrelo)
endif()

# libTavrix.so.1.0.0 with its SONAME link libTavrix.so.1 and the link
# libTavrix.so that -lTavrix finds.
install(TARGETS Tavrix LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tavrix)
install(FILES ${CMAKE_SOURCE_DIR}/hidspi/Tavrix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT tavrix)
install(FILES ${CMAKE_SOURCE_DIR}/hidspi/README.md DESTINATION ${_doc}/libtavrix COMPONENT tavrix)
# udev reads its rules from /lib/udev/rules.d whatever the prefix.
install(FILES ${_pkg}/70-ostrelo.rules DESTINATION /lib/udev/rules.d COMPONENT tavrix)
# tavrix.pc for pkg-config, written while installing so that it names the
# prefix installed to (/usr in the package).
get_target_property(_tavrix_version Tavrix VERSION)
set(_tavrix_pc ${CMAKE_BINARY_DIR}/tavrix.pc)
install(CODE "set(TAVRIX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
set(TAVRIX_PC_VERSION ${_tavrix_version})
set(TAVRIX_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(TAVRIX_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${CMAKE_SOURCE_DIR}/hidspi/tavrix.pc.in ${_tavrix_pc} @ONLY)"
        COMPONENT tavrix)
install(FILES ${_tavrix_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT tavrix)
# libTavrix carries hidapi: its copyright file has hidapi's paragraphs too.
file(READ ${_pkg}/copyright _copyright)
file(READ ${_pkg}/copyright-hidapi _copyright_hidapi)
file(WRITE ${CMAKE_BINARY_DIR}/libtavrix.copyright "${_copyright}${_copyright_hidapi}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pkg}/copyright ${_pkg}/copyright-hidapi)
install(FILES ${CMAKE_BINARY_DIR}/libtavrix.copyright DESTINATION ${_doc}/libtavrix RENAME copyright
        COMPONENT tavrix)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrelo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ostrelo")
set(CPACK_PACKAGE_CONTACT "${OSTRELO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSTRELO_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli tavrix)
if(TARGET appOstrelo)
    list(APPEND CPACK_COMPONENTS_ALL app)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared-library dependencies are computed from each package's binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME ostrelo-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "Firmware upgrade of CANopen motors from a terminal or a script
ostrelo-cli finds the motors on up to 24 CAN channels of USB-to-CAN adapters,
identifies them, pairs each with its .bin image (exact name before a loose
match, versions compared), moves them into their bootloader and upgrades them
by CANopen SDO block download with a CRC-32 check, channels in parallel, and
keeps a JSON or CSV record of the run. ostrelo-mkfw writes demo firmware for
the simulated motor bench built into ostrelo-cli. Needs no Qt.")

set(CPACK_DEBIAN_APP_PACKAGE_NAME ostrelo)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION electronics)
# The QML modules are loaded at run time, so they are named here.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-dialogs, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, qml6-module-qt-labs-folderlistmodel, qml6-module-qtqml-models, qml6-module-qtquick-shapes, qt6-qpa-plugins")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "fonts-noto-cjk, ostrelo-cli")
set(CPACK_DEBIAN_APP_DESCRIPTION
    "Firmware upgrade tool for CANopen motors on USB-to-CAN adapters (window)
Ostrelo finds the motors on up to 24 CAN channels, identifies them, pairs each
with its .bin image, moves them into their bootloader and upgrades them by
CANopen SDO block download with a CRC-32 check, in a Qt Quick window
(appOstrelo). The command-line tool is in the package ostrelo-cli.")

set(CPACK_DEBIAN_TAVRIX_PACKAGE_NAME libtavrix)
set(CPACK_DEBIAN_TAVRIX_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_TAVRIX_DESCRIPTION
    "SPI and GPIO over a USB HID adapter or an AX99100 PCIe SPI controller
libTavrix offers SPI transfers and GPIO pins through a flat C interface
(Tavrix.h; pkg-config tavrix) on a USB HID SPI adapter (0x16C0:0x2020) or an
AX99100 PCI Express SPI controller. Its udev rules give those devices to the
user at the seat, so no root is needed.")
include(CPack)
