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
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/tarnix-pellora-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(size 16 32 48 64)
    install(FILES ${PROJECT_SOURCE_DIR}/app/icons/tarnix-pellora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tarnix-pellora.png)
endforeach()

# Debian keeps manual pages and changelogs compressed, with gzip -9n so that the same sources give
# the same bytes (no name, no time stamp). Done at configure time so that packaging needs no build
# step; gzip is part of every Debian system.
find_program(PELLORA_GZIP gzip REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
function(pellora_gzip source output)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND ${PELLORA_GZIP} -9nc INPUT_FILE ${source} OUTPUT_FILE ${output}
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip -9n ${source}: ${result}")
    endif()
endfunction()

foreach(page tarnix-pellora.1 tarnix-pellora-cli.1)
    pellora_gzip(${CMAKE_CURRENT_LIST_DIR}/${page} ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The package's documentation folder: the licence in Debian's machine-readable form, and the
# changelog. The version is its own, with no Debian revision, so the package is native and its
# changelog is changelog.gz; its latest entry must name PROJECT_VERSION (the package test checks).
set(PELLORA_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tarnix-pellora)
set(PELLORA_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/changelog)
pellora_gzip(${PELLORA_CHANGELOG} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

# The copyright file is written from LICENSE: its copyright line and its permission text.
set(PELLORA_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PELLORA_LICENSE})
file(READ ${PELLORA_LICENSE} license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence text")
endif()
set(license_holder "${CMAKE_MATCH_1}")
# Each line of the text indented by one space, an empty line as " .".
string(REPLACE "\n\n" "\n.\n" license_text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tarnix Pellora
Upstream-Contact: Tarnix Pellora maintainers <pellora@tarnix.invalid>

Files: *
Copyright: ${license_holder}
License: Expat
${license_text}
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${PELLORA_DOCDIR})

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
endif()
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")
include(CPack)
