# Test helpers shared by tests/unit (host) and tests/windows (run under Wine).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(WIN32)
    # GoogleTest for mingw, built from Debian's googletest source package.
    set(TALLIX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TALLIX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(TALLIX_GTEST_LIBS GTest::gtest GTest::gtest_main)
    # Host tools (the packer) come from the host tree's install.
    set(TALLIX_HOST_BIN "${PROJECT_SOURCE_DIR}/out/bin" CACHE PATH "Directory of the host tools (tallix-pack)")
    set(TALLIX_PACK "${TALLIX_HOST_BIN}/tallix-pack")
    set(TALLIX_WINE_RUN "${PROJECT_SOURCE_DIR}/scripts/wine-run")
    # The host build tree: its test tools, its Debian package.
    set(TALLIX_HOST_BUILD "${PROJECT_SOURCE_DIR}/build/host" CACHE PATH
        "The host build tree (make-test-launcher, cpack)")
    set(TALLIX_MAKE_TEST_LAUNCHER "${TALLIX_HOST_BUILD}/tests/tools/make-test-launcher")
else()
    find_package(GTest REQUIRED)
    set(TALLIX_GTEST_LIBS GTest::gtest GTest::gtest_main)
endif()
include(GoogleTest)

# tallix_add_gtest(NAME name SOURCES ... [LIBS ...] [PROPERTIES prop value ...])
# A GoogleTest program; under mingw it is linked statically and its tests are
# discovered when ctest runs (not at build time, which would start Wine).
# PROPERTIES are set on every discovered test (e.g. RUN_SERIAL for tests that
# change state other tests of the same Wine prefix read).
function(tallix_add_gtest)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    set(properties "")
    if(T_PROPERTIES)
        set(properties PROPERTIES ${T_PROPERTIES})
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${TALLIX_GTEST_LIBS})
    if(WIN32)
        # gtest_main provides main(), so no -municode here.
        target_link_options(${T_NAME} PRIVATE -static)
        target_compile_definitions(${T_NAME} PRIVATE UNICODE _UNICODE)
        gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${properties})
    else()
        gtest_discover_tests(${T_NAME} ${properties})
    endif()
endfunction()

# tallix_add_windows_program(NAME name SOURCES ... [LIBS ...] [GUI])
# A small Windows program used by tests (a probe, a child, a helper).
function(tallix_add_windows_program)
    cmake_parse_arguments(T "GUI" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
    target_compile_definitions(${T_NAME} PRIVATE UNICODE _UNICODE)
    target_link_options(${T_NAME} PRIVATE -static -municode)
    if(T_GUI)
        target_link_options(${T_NAME} PRIVATE -mwindows)
    endif()
endfunction()

if(WIN32)
    # tallix_add_attached_data(TARGET target BLOCK block.bin [INDEX index.bin] [DEPENDS ...])
    # An object library defining TestAttachedData and TEST_ATTACHED_DATA_SIZE
    # from a block file, and TestPayloadIndex and TEST_PAYLOAD_INDEX_SIZE from
    # an index file (none without INDEX), for test programs that link
    # tests/tools/extraction_constants.cpp.
    set(TALLIX_NO_INDEX_FILE ${CMAKE_BINARY_DIR}/no_payload_index.bin)
    if(NOT EXISTS ${TALLIX_NO_INDEX_FILE})
        file(WRITE ${TALLIX_NO_INDEX_FILE} "")
    endif()
    function(tallix_add_attached_data)
        cmake_parse_arguments(A "" "TARGET;BLOCK;INDEX" "DEPENDS" ${ARGN})
        if(NOT A_INDEX)
            set(A_INDEX ${TALLIX_NO_INDEX_FILE})
        endif()
        # The paths land inside assembler strings.
        foreach(kind IN ITEMS BLOCK INDEX)
            string(REPLACE "\\" "\\\\" path "${A_${kind}}")
            string(REPLACE "\"" "\\\"" TALLIX_${kind}_PATH "${path}")
        endforeach()
        set(source ${CMAKE_CURRENT_BINARY_DIR}/${A_TARGET}.S)
        configure_file(${PROJECT_SOURCE_DIR}/tests/tools/attached_data.S.in ${source} @ONLY)
        set_source_files_properties(${source} PROPERTIES
            OBJECT_DEPENDS "${A_BLOCK};${A_INDEX};${A_DEPENDS}")
        add_library(${A_TARGET} OBJECT ${source})
    endfunction()
endif()
