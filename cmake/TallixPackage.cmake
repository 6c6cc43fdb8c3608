# The CMake package of the installed tool, so that other projects can pack
# with find_package(tallix-onefile) and tallix_add_onefile().
include(CMakePackageConfigHelpers)

set(TALLIX_PACKAGE_DIR lib/cmake/tallix-onefile)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tallix-onefile-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/tallix-onefile-config.cmake
    INSTALL_DESTINATION ${TALLIX_PACKAGE_DIR}
    NO_SET_AND_CHECK_MACRO)
# Before 1.0 a minor release may change the function's interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tallix-onefile-config-version.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMinorVersion
    ARCH_INDEPENDENT)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/tallix-onefile-config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/tallix-onefile-config-version.cmake
    DESTINATION ${TALLIX_PACKAGE_DIR})
