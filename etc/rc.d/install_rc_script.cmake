# SPDX-License-Identifier: BSD-2-Clause
# Installs the rc.d service script at install time, so that its `command`
# names the daemon under the prefix the install is made with (an
# install-time --prefix included), never with DESTDIR in it; file(INSTALL)
# adds DESTDIR to where the script goes.
#
# Run from cmake_install.cmake (CMAKE_INSTALL_PREFIX is set there), or by
# hand with -P and the same variables:
#   HOSTREAPD_RC_SOURCE  the script template (etc/rc.d/hostreapd.in)
#   HOSTREAPD_RC_SBINDIR where the daemon is installed, relative to the
#                        prefix or absolute
#   HOSTREAPD_RC_DIR     where the script goes, relative or absolute
#   HOSTREAPD_RC_WORK    a directory for the configured copy
foreach(dir HOSTREAPD_RC_SBINDIR HOSTREAPD_RC_DIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(HOSTREAPD_SBINDIR "${HOSTREAPD_RC_SBINDIR}")
configure_file("${HOSTREAPD_RC_SOURCE}" "${HOSTREAPD_RC_WORK}/hostreapd" @ONLY)
file(INSTALL DESTINATION "${HOSTREAPD_RC_DIR}" TYPE PROGRAM FILES "${HOSTREAPD_RC_WORK}/hostreapd")
