# The launcher runtime: two prebuilt launcher images (GUI and console
# subsystem) that tallix-pack completes for each application by adding its
# constants section and resources, and the default icon. Staged into
# ${TALLIX_RUNTIME_DIR} at build time and installed to lib/tallix-onefile,
# where tallix-pack finds it.
set(TALLIX_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime)

# A tree configured by an older version still holds the libraries and
# templates the runtime used to have; they would pass for part of it.
file(GLOB _tallix_runtime_files ${TALLIX_RUNTIME_DIR}/*)
foreach(_file IN LISTS _tallix_runtime_files)
    get_filename_component(_name ${_file} NAME)
    if(NOT _name MATCHES "^(launcher-(gui|console)\\.exe|default-icon\\.png|zstd-LICENSE)$")
        file(REMOVE_RECURSE ${_file})
    endif()
endforeach()

# How every launcher image is linked: x86-64 program, no DLL of ours or of
# the compiler's runtime, ASLR with high entropy, NX, room on the stack for
# the launcher's fixed buffers, no timestamp (reproducible), no symbols and
# no code it never calls.
# Sections start at page boundaries in the file (the packer's sections
# follow the image's alignment), so that Wine maps the image instead of
# reading all of it: a warm start that never touches the attached data then
# neither reads it (measured: 17 instead of 79 MB resident).
set(TALLIX_LAUNCHER_LINK_OPTIONS
    -static -municode
    -Wl,--stack,0x968000
    -Wl,--file-alignment,4096
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    -Wl,--no-insert-timestamp -Wl,--gc-sections -s)

foreach(subsystem IN ITEMS gui console)
    set(target tallix_launcher_${subsystem})
    set(flag -mconsole)
    if(subsystem STREQUAL "gui")
        set(flag -mwindows)
    endif()
    add_executable(${target} ${PROJECT_SOURCE_DIR}/launcher/entry-win32.cpp)
    target_link_libraries(${target} PRIVATE tallix_core)
    tallix_launcher_options(${target})
    target_link_options(${target} PRIVATE ${TALLIX_LAUNCHER_LINK_OPTIONS} ${flag})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME launcher-${subsystem}
        RUNTIME_OUTPUT_DIRECTORY ${TALLIX_RUNTIME_DIR})
endforeach()

set(_staged "")
macro(_tallix_stage source destination)
    set(_to ${TALLIX_RUNTIME_DIR}/${destination})
    add_custom_command(OUTPUT ${_to}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${_to}
        DEPENDS ${source}
        COMMENT "Staging ${destination}" VERBATIM)
    list(APPEND _staged ${_to})
endmacro()
_tallix_stage(${PROJECT_SOURCE_DIR}/buildinfo/default-icon.png default-icon.png)
# zstd's licence travels with the decoder that every launcher contains.
get_filename_component(_zstd_prefix ${TALLIX_ZSTD_MINGW_LIBRARY} DIRECTORY)
if(EXISTS ${_zstd_prefix}/../LICENSE)
    _tallix_stage(${_zstd_prefix}/../LICENSE zstd-LICENSE)
    install(FILES ${TALLIX_RUNTIME_DIR}/zstd-LICENSE DESTINATION lib/tallix-onefile
        COMPONENT runtime)
endif()
add_custom_target(tallix_runtime ALL DEPENDS ${_staged} tallix_launcher_gui tallix_launcher_console)

install(FILES
    $<TARGET_FILE:tallix_launcher_gui>
    $<TARGET_FILE:tallix_launcher_console>
    ${TALLIX_RUNTIME_DIR}/default-icon.png
    DESTINATION lib/tallix-onefile
    COMPONENT runtime)
