# The mingw libzstd the launcher decodes with. Found, in order: an explicit
# TALLIX_ZSTD_MINGW_PREFIX (scripts/setup.sh builds one from Debian's source
# package), a zstd CMake package, pkg-config.
set(TALLIX_ZSTD_MINGW_PREFIX "" CACHE PATH "Prefix of a static libzstd built for mingw")

if(NOT TALLIX_ZSTD_MINGW_PREFIX AND DEFINED ENV{TALLIX_ZSTD_MINGW_PREFIX})
    set(TALLIX_ZSTD_MINGW_PREFIX "$ENV{TALLIX_ZSTD_MINGW_PREFIX}")
endif()

add_library(tallix::zstd_decoder STATIC IMPORTED GLOBAL)
if(TALLIX_ZSTD_MINGW_PREFIX)
    set(_zstd_lib ${TALLIX_ZSTD_MINGW_PREFIX}/lib/libzstd.a)
    set(_zstd_inc ${TALLIX_ZSTD_MINGW_PREFIX}/include)
else()
    find_package(zstd CONFIG QUIET)
    if(TARGET zstd::libzstd_static)
        get_target_property(_zstd_lib zstd::libzstd_static IMPORTED_LOCATION_RELEASE)
        get_target_property(_zstd_inc zstd::libzstd_static INTERFACE_INCLUDE_DIRECTORIES)
    else()
        find_package(PkgConfig QUIET)
        if(PkgConfig_FOUND)
            pkg_check_modules(MINGW_ZSTD QUIET libzstd)
        endif()
        if(MINGW_ZSTD_FOUND)
            find_library(_zstd_lib NAMES libzstd.a zstd HINTS ${MINGW_ZSTD_LIBRARY_DIRS})
            set(_zstd_inc ${MINGW_ZSTD_INCLUDE_DIRS})
        endif()
    endif()
endif()
if(NOT _zstd_lib OR NOT EXISTS "${_zstd_lib}")
    message(FATAL_ERROR "No libzstd for mingw found; run scripts/setup.sh or set TALLIX_ZSTD_MINGW_PREFIX")
endif()
set_target_properties(tallix::zstd_decoder PROPERTIES
    IMPORTED_LOCATION "${_zstd_lib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zstd_inc}")
set(TALLIX_ZSTD_MINGW_LIBRARY "${_zstd_lib}" CACHE INTERNAL "")
set(TALLIX_ZSTD_MINGW_INCLUDE "${_zstd_inc}" CACHE INTERNAL "")

# The packer's libzstd: compressor and decoder. scripts/setup.sh builds
# libzstd-full.a beside the decoder-only library; a library found otherwise
# is taken to be complete.
add_library(tallix::zstd_full STATIC IMPORTED GLOBAL)
get_filename_component(_zstd_dir "${_zstd_lib}" DIRECTORY)
set(_zstd_full "${_zstd_lib}")
if(EXISTS "${_zstd_dir}/libzstd-full.a")
    set(_zstd_full "${_zstd_dir}/libzstd-full.a")
endif()
set_target_properties(tallix::zstd_full PROPERTIES
    IMPORTED_LOCATION "${_zstd_full}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zstd_inc}")
