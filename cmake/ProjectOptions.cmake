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
