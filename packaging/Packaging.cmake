# Installation and the Debian package (cpack -G DEB in a build tree).
include(GNUInstallDirs)

install(TARGETS tarnix-pellora tarnix-pellora-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tarnix-pellora.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64)
    install(FILES ${PROJECT_SOURCE_DIR}/app/icons/tarnix-pellora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tarnix-pellora.png)
endforeach()

# Debian keeps manual pages compressed; done at configure time so that packaging needs no build step.
set(PELLORA_MANPAGE ${CMAKE_CURRENT_LIST_DIR}/tarnix-pellora-cli.1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PELLORA_MANPAGE})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(ARCHIVE_CREATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/tarnix-pellora-cli.1.gz
     PATHS ${PELLORA_MANPAGE} FORMAT raw COMPRESSION GZip)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarnix-pellora-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME tarnix-pellora)
set(CPACK_PACKAGE_VENDOR Tarnix)
set(CPACK_PACKAGE_CONTACT "Tarnix Pellora maintainers <pellora@tarnix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Loads firmware into devices through their serial bootloader")
set(CPACK_PACKAGE_DESCRIPTION "Streams a Motorola S-record file line by line into a device's serial \
bootloader, each line acknowledged by the device. tarnix-pellora is the window; tarnix-pellora-cli \
does the same from a terminal and programs several boards in parallel.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The window needs a platform plugin, which no library dependency pulls in.
find_program(PELLORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(PELLORA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6core6, libqt6gui6, libqt6widgets6, libqt6serialport6, qt6-qpa-plugins")
    if(LIBUDEV_FOUND)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libudev1")
    endif()
endif()
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")
include(CPack)
