# Installation and the Debian package (cpack -G DEB in a build tree).
include(GNUInstallDirs)

install(TARGETS tarnix-pellora tarnix-pellora-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tarnix-pellora.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# What a software centre lists (named after its component id); the serial access udev grants the
# user at the seat (numbered below 73-seat-late.rules, which acts on its tags; udev reads
# lib/udev/rules.d under /usr and /usr/local alike); the command line's bash completion.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/invalid.tarnix.pellora.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/70-tarnix-pellora.rules DESTINATION lib/udev/rules.d)
# What journalctl -x says of each kind of run's entry in the system journal (systemd's package
# trigger rebuilds the catalog's database when the package is installed).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tarnix-pellora.catalog DESTINATION lib/systemd/catalog)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/tarnix-pellora-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(size 16 32 48 64)
    install(FILES ${PROJECT_SOURCE_DIR}/app/icons/tarnix-pellora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tarnix-pellora.png)
endforeach()

# The compressed manual pages and changelog and the copyright file are made when the tree is
# installed (cpack installs it into a staging folder first), by the rule below, which comes before
# the rules that install them.
set(PELLORA_GENERATED ${CMAKE_BINARY_DIR}/packaging)
install(CODE "
    set(PELLORA_PACKAGING_SOURCE [[${CMAKE_CURRENT_LIST_DIR}]])
    set(PELLORA_LICENSE [[${PROJECT_SOURCE_DIR}/LICENSE]])
    set(PELLORA_GENERATED [[${PELLORA_GENERATED}]])
    include([[${CMAKE_CURRENT_LIST_DIR}/GeneratedFiles.cmake]])")
install(FILES ${PELLORA_GENERATED}/tarnix-pellora.1.gz ${PELLORA_GENERATED}/tarnix-pellora-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The package's documentation folder: the licence in Debian's machine-readable form, and the
# changelog. The version is its own, with no Debian revision, so the package is native and its
# changelog is changelog.gz; its latest entry must name PROJECT_VERSION (the package test checks).
install(FILES ${PELLORA_GENERATED}/copyright ${PELLORA_GENERATED}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnix-pellora)
# How a fleet of stations collects the runs' journal entries (the manual page points to it).
install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnix-pellora)

# Lintian counts a binary as unfortified when it calls none of the checked functions it knows of;
# the override says why that is wrong for these programs, true only where fortifying was on.
if(PELLORA_FORTIFY)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnix-pellora)
endif()

set(CPACK_PACKAGE_NAME tarnix-pellora)
set(CPACK_PACKAGE_VENDOR Tarnix)
set(CPACK_PACKAGE_CONTACT "Tarnix Pellora maintainers <pellora@tarnix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Loads firmware into devices through their serial bootloader")
# Debian shows the description as it is: lines under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "\
Streams a Motorola S-record file line by line into a device's serial
bootloader, each line acknowledged by the device.
tarnix-pellora is the window; tarnix-pellora-cli does the same from a
terminal and programs several boards in parallel.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The window needs a platform plugin, which no library dependency pulls in. CPack runs
# dpkg-shlibdeps only on the files that the file utility calls ELF, and stops without it.
find_program(PELLORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PELLORA_FILE file)
if(PELLORA_DPKG_SHLIBDEPS AND PELLORA_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6core6, libqt6gui6, libqt6widgets6, libqt6serialport6, libqt6dbus6, qt6-qpa-plugins")
    if(LIBUDEV_FOUND)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libudev1")
    endif()
    if(LIBSYSTEMD_FOUND)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsystemd0")
    endif()
endif()
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")
include(CPack)
