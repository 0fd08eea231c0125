# Install rules (program, desktop entry, icons) and the Debian package.
include(GNUInstallDirs)

install(TARGETS modbuscrc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/modbuscrc.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/modbuscrc.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 64 128 256)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/modbuscrc-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME modbuscrc.png)
endforeach()

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME modbuscrc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Modbus RTU CRC tool developers")
set(CPACK_PACKAGE_CONTACT "Modbus RTU CRC tool developers <modbuscrc@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU CRC-16 calculator and serial line tester")
set(CPACK_PACKAGE_DESCRIPTION
    "Computes the Modbus CRC-16 of a typed frame, sends it through a serial port once or at an interval, and logs every request and reply, marking replies whose CRC does not check. Comes with a built-in demo slave, and a command line (crc, send, slave, scan) for scripts.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The libraries the program links (Qt Widgets, Gui and Core, libmodbus, the
# C++ runtime) become its dependencies through dpkg-shlibdeps. Qt's X11
# platform plugin comes with libqt6gui6 on Debian.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own texts (the edit's menu, the file dialog's buttons) in the window's
# language; merged with what dpkg-shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n")
# The window's texts are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-zenhei | fonts-noto-cjk")
include(CPack)
