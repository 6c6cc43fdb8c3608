# The launcher runtime: what links a launcher. The packer links real
# launchers from the installed runtime (lib/tallix-onefile); tests link
# their own launchers here with tallix_add_test_launcher.
set(TALLIX_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime)

# How every launcher is linked: x86-64 GUI program, no DLL of ours or of the
# compiler's runtime, ASLR with high entropy, NX, room on the stack for the
# launcher's fixed buffers, and no timestamp so builds are reproducible.
set(TALLIX_LAUNCHER_LINK_OPTIONS
    -static -municode
    -Wl,--stack,0x968000
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    -Wl,--no-insert-timestamp)

# tallix_add_attached_data(TARGET target BLOCK block.bin [DEPENDS ...])
# An object library defining AttachedData and ATTACHED_DATA_SIZE from a block file.
function(tallix_add_attached_data)
    cmake_parse_arguments(A "" "TARGET;BLOCK" "DEPENDS" ${ARGN})
    set(TALLIX_BLOCK_PATH ${A_BLOCK})
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${A_TARGET}.S)
    configure_file(${PROJECT_SOURCE_DIR}/buildinfo/attached_data.S.in ${source} @ONLY)
    set_source_files_properties(${source} PROPERTIES OBJECT_DEPENDS "${A_BLOCK};${A_DEPENDS}")
    add_library(${A_TARGET} OBJECT ${source})
endfunction()

# tallix_add_test_launcher(NAME name CONSTANTS constants.cpp BLOCK block.bin
#                          [BLOCK_DEPENDS targets-or-files...] [CONSOLE])
# A launcher linked from the runtime with the test's own build constants and
# attached data block.
function(tallix_add_test_launcher)
    cmake_parse_arguments(L "CONSOLE" "NAME;BLOCK" "CONSTANTS;BLOCK_DEPENDS" ${ARGN})
    tallix_add_attached_data(TARGET ${L_NAME}_data BLOCK ${L_BLOCK} DEPENDS ${L_BLOCK_DEPENDS})
    add_executable(${L_NAME} ${L_CONSTANTS} $<TARGET_OBJECTS:${L_NAME}_data>)
    target_link_libraries(${L_NAME} PRIVATE tallix_entry tallix_core)
    target_link_options(${L_NAME} PRIVATE ${TALLIX_LAUNCHER_LINK_OPTIONS})
    if(NOT L_CONSOLE)
        target_link_options(${L_NAME} PRIVATE -mwindows)
    endif()
endfunction()
