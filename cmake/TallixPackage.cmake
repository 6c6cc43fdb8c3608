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
    DESTINATION ${TALLIX_PACKAGE_DIR}
    COMPONENT packer)

# The manual page, written from the packer's own --help texts, and the
# copyright file Debian asks every package for.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TALLIX_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/tallix-pack.1)
add_custom_command(OUTPUT ${TALLIX_MAN_PAGE} ${TALLIX_MAN_PAGE}.gz
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/make_man_page.py
        $<TARGET_FILE:tallix-pack> ${PROJECT_VERSION} ${TALLIX_MAN_PAGE}
    DEPENDS tallix-pack ${PROJECT_SOURCE_DIR}/cmake/make_man_page.py
    COMMENT "Writing the manual page tallix-pack.1" VERBATIM)
add_custom_target(tallix_man_page ALL DEPENDS ${TALLIX_MAN_PAGE}.gz)
install(FILES ${TALLIX_MAN_PAGE}.gz DESTINATION share/man/man1 COMPONENT packer)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian-copyright DESTINATION share/doc/tallix-onefile
    RENAME copyright COMPONENT packer)

# The Debian package of the Linux packer (cpack -G DEB in this tree): the
# packer and its CMake package from here, the launcher runtime from the
# windows tree's install. Relocatable like out/: the packer finds its runtime
# relative to itself.
set(TALLIX_WINDOWS_BUILD "${PROJECT_SOURCE_DIR}/build/windows" CACHE PATH
    "The windows build tree whose launcher runtime the Debian package carries")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallix-onefile)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs a Windows application directory into one executable")
set(CPACK_PACKAGE_DESCRIPTION "tallix-pack takes an application directory and writes a single
64-bit Windows executable that unpacks it into a per-user cache and runs it.
Packing needs no compiler or Windows tool chain.")
set(CPACK_PACKAGE_CONTACT "tallix-onefile maintainers <tallix-onefile@invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};tallix-onefile;packer;/"
    "${TALLIX_WINDOWS_BUILD};tallix-onefile;runtime;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# libzstd, libstdc++ and the C library, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine, cmake")
include(CPack)
