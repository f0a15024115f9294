# The package's files made from sources: the manual pages and the changelog compressed as Debian
# keeps them, and the copyright file written from LICENSE. Run when the tree is installed, which is
# how cpack builds a package, rather than when it is configured: a developer without gzip, or with a
# LICENSE being edited, can still configure and build. An install(CODE) rule sets
# PELLORA_PACKAGING_SOURCE (this folder), PELLORA_LICENSE and PELLORA_GENERATED (where the files go;
# the install rules that follow take them from there).

# gzip -9n, so that the same sources give the same bytes (no name, no time stamp).
find_program(PELLORA_GZIP gzip)
if(NOT PELLORA_GZIP)
    message(FATAL_ERROR "gzip not found: the package's manual pages and changelog are compressed "
                        "with it (apt install gzip)")
endif()
file(MAKE_DIRECTORY ${PELLORA_GENERATED})
foreach(name tarnix-pellora.1 tarnix-pellora-cli.1 changelog)
    execute_process(COMMAND ${PELLORA_GZIP} -9nc INPUT_FILE ${PELLORA_PACKAGING_SOURCE}/${name}
                    OUTPUT_FILE ${PELLORA_GENERATED}/${name}.gz RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip -9n ${PELLORA_PACKAGING_SOURCE}/${name}: ${result}")
    endif()
endforeach()

# The copyright file in Debian's machine-readable form: LICENSE's copyright line and its permission
# text.
file(READ ${PELLORA_LICENSE} license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence text")
endif()
set(license_holder "${CMAKE_MATCH_1}")
# Each line of the text indented by one space, an empty line as " .".
string(REPLACE "\n\n" "\n.\n" license_text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
file(WRITE ${PELLORA_GENERATED}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tarnix Pellora
Upstream-Contact: Tarnix Pellora maintainers <pellora@tarnix.invalid>

Files: *
Copyright: ${license_holder}
License: Expat
${license_text}
")
