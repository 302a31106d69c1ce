# Install rules and the Debian package (cpack -G DEB in the build folder).
# Everything a technician needs goes into one package: the program, the
# command-line tool, the demo firmware generator, libTavrix with its header,
# the desktop entry with its icon, the udev rules for the SPI adapters and the
# manual page of the command-line tool.
include(GNUInstallDirs)
# The package installs below /usr, where Debian keeps libraries in the
# multiarch folder; GNUInstallDirs only picks that when configured for /usr.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR MATCHES "${CMAKE_LIBRARY_ARCHITECTURE}")
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ostrelo)

set(_pkg ${CMAKE_SOURCE_DIR}/cmake/package)

foreach(program appOstrelo ostrelo-cli ostrelo-mkfw)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
install(TARGETS Tavrix LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/hidspi/Tavrix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET appOstrelo)
    install(FILES ${_pkg}/ostrelo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_pkg}/ostrelo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
# udev reads its rules from /lib/udev/rules.d whatever the prefix.
install(FILES ${_pkg}/70-ostrelo.rules DESTINATION /lib/udev/rules.d)
if(TARGET ostrelo-cli)
    set(_man ${CMAKE_BINARY_DIR}/ostrelo-cli.1.gz)
    add_custom_command(OUTPUT ${_man}
        COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:ostrelo-cli> -DOUT=${_man} -DVERSION=${PROJECT_VERSION}
                -P ${_pkg}/make_manpage.cmake
        DEPENDS ostrelo-cli ${_pkg}/make_manpage.cmake
        COMMENT "Manual page of ostrelo-cli")
    add_custom_target(ostrelo_manpage ALL DEPENDS ${_man})
    install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrelo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ostrelo")
set(CPACK_PACKAGE_CONTACT "Ostrelo developers <ostrelo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade tool for CANopen motors on USB-to-CAN adapters")
set(CPACK_PACKAGE_DESCRIPTION
    "Ostrelo finds the motors on up to 24 CAN channels, identifies them, pairs each with its .bin image,
moves them into their bootloader and upgrades them by CANopen SDO block download with a CRC-32 check.
It comes with a window (appOstrelo), a command-line tool for scripts (ostrelo-cli), a generator of
demo firmware for the simulated motor bench (ostrelo-mkfw) and libTavrix, an SPI/GPIO library for a
USB HID adapter or an AX99100 PCIe SPI controller.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared-library dependencies are computed from the binaries; the QML modules
# are loaded at run time, so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-dialogs, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, qml6-module-qt-labs-folderlistmodel, qml6-module-qtqml-models, qml6-module-qtquick-shapes, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
include(CPack)
