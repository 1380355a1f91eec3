#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The files a FreeBSD port's package holds, relative to its PREFIX, one a
# line, sorted: the words of PLIST_FILES in the port's Makefile, and
# etc/rc.d/NAME for each script of USE_RC_SUBR, which the ports framework
# installs and adds to the packing list itself. Reads the Makefile as
# plain assignments (continued lines joined); exits 1 when it has no
# PLIST_FILES.
#
#   port_files.sh PORT_DIR
set -eu
makefile=$1/Makefile
joined=$(sed -e ':a' -e '/\\$/{N;s/\\\n/ /;ba' -e '}' "$makefile")
value() { printf '%s\n' "$joined" | sed -n "s/^$1+\{0,1\}=[[:space:]]*//p"; }
plist=$(value PLIST_FILES)
[ -n "$plist" ] || { echo "port_files.sh: $makefile has no PLIST_FILES" >&2; exit 1; }
{
  for f in $plist; do echo "$f"; done
  for script in $(value USE_RC_SUBR); do echo "etc/rc.d/${script%.sh}"; done
} | sort
