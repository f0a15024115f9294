# Compiler settings shared by every target of the project.
add_library(pellora_options INTERFACE)
target_compile_features(pellora_options INTERFACE cxx_std_20)
target_compile_options(pellora_options INTERFACE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                                 -Wold-style-cast -Wcast-align -Wnull-dereference)
if(PELLORA_WARNINGS_AS_ERRORS)
    target_compile_options(pellora_options INTERFACE -Werror)
endif()
target_compile_definitions(pellora_options INTERFACE QT_NO_KEYWORDS)
if(PELLORA_SANITIZE)
    target_compile_options(pellora_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
    target_link_options(pellora_options INTERFACE -fsanitize=address,undefined)
endif()

# The hardening a Debian package gets (dpkg-buildflags with hardening=+all), in every build: a
# stack protector, format strings checked, position-independent executables, and the relocations
# made read-only before the program starts (-z relro -z now). The checked libc functions
# (_FORTIFY_SOURCE; level 3 also checks sizes known only at run time) need the optimiser and would
# hide faults from the sanitizers: optimised builds without them only. -U first: some compilers
# define it already, at another level.
set(PELLORA_FORTIFY OFF)
if(PELLORA_HARDENING)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    target_compile_options(pellora_options INTERFACE -fstack-protector-strong -Wformat
                                                     -Werror=format-security)
    target_link_options(pellora_options INTERFACE LINKER:-z,relro LINKER:-z,now)
    if(NOT PELLORA_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
        set(PELLORA_FORTIFY ON)
        target_compile_options(pellora_options INTERFACE -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
    endif()
endif()
