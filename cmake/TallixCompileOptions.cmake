# Warnings for everything we compile; -Werror in CI (TALLIX_WERROR=ON).
add_compile_options(-Wall -Wextra)
if(TALLIX_WERROR)
    add_compile_options(-Werror)
endif()

if(TALLIX_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()

# Each function in its own section, so that the launcher's link
# drops what it never calls (--gc-sections in cmake/TallixRuntime.cmake):
# every launcher carries the runtime's bytes, and a user downloads them.
if(WIN32)
    add_compile_options(-ffunction-sections)
endif()

# The launcher is plain procedural code: no exceptions, no RTTI.
function(tallix_launcher_options target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
    if(WIN32)
        target_compile_definitions(${target} PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
    endif()
endfunction()
