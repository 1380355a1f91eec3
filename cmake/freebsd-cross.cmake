# SPDX-License-Identifier: BSD-2-Clause
# Cross build for FreeBSD on amd64 with zig's clang and libc++ (zig c++),
# which carry FreeBSD's system headers and link stubs: the program is
# compiled and linked here, for a FreeBSD system to run. The presets
# freebsd14 and freebsd15 use it; scripts/deps.sh installs zig.
#
#   HOSTREAPD_FREEBSD_RELEASE  14 or 15 (default 15): the release built for.
#                              zig's target x86_64-freebsd.14.0 or .15.0 sets
#                              __FreeBSD_version (1400500 or 1500500) and the
#                              C library's symbols of that release; the
#                              firewall record layout follows from it
#                              (fwtable/fw_records.h).
#
# The headers zig carries are one release's (FreeBSD 15.0 in zig 0.17): a
# build for 14 compiles against them with 14's __FreeBSD_version.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HOSTREAPD_FREEBSD_RELEASE 15 CACHE STRING "The FreeBSD release to build for: 14 or 15")
set_property(CACHE HOSTREAPD_FREEBSD_RELEASE PROPERTY STRINGS 14 15)
if(NOT HOSTREAPD_FREEBSD_RELEASE MATCHES "^(14|15)$")
  message(FATAL_ERROR "HOSTREAPD_FREEBSD_RELEASE is \"${HOSTREAPD_FREEBSD_RELEASE}\": it must be 14 or 15")
endif()
# The compiler checks CMake makes in projects of their own see it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HOSTREAPD_FREEBSD_RELEASE)
set(CMAKE_SYSTEM_VERSION ${HOSTREAPD_FREEBSD_RELEASE}.0)
set(HOSTREAPD_FREEBSD_TARGET x86_64-freebsd.${HOSTREAPD_FREEBSD_RELEASE}.0)

set(zig ${CMAKE_CURRENT_LIST_DIR}/../build/toolchain/zig/ziglang/zig)
if(NOT DEFINED ENV{HOSTREAPD_ZIG} AND NOT EXISTS ${zig})
  message(FATAL_ERROR "zig is not installed at ${zig}: run scripts/deps.sh")
endif()
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "zig's ranlib")
# The target goes to every compile and, as CMake hands the compile flags to
# the link of a program too, to every link.
set(CMAKE_CXX_FLAGS_INIT "-target ${HOSTREAPD_FREEBSD_TARGET}")

# Nothing of the build machine's is a FreeBSD library or header.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
