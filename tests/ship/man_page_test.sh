#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The manual page against the program: mandoc's lint finds nothing; the
# options of the SYNOPSIS and of the option list are exactly those of the
# program's usage text; an option shows an argument in the page exactly
# when the program asks for one; the page's synopsis begins as the usage
# text's does; a default the usage text states is stated in the page. The
# page as built (the source with the version put on its .Os line) names
# the version the program prints with -V, and so does the emulator's.
#
#   man_page_test.sh HOSTREAPD PAGE FWEMU FWEMU_PAGE
set -eu
program=$1
page=$2
fwemu=$3
fwemu_page=$4
# shellcheck source=tests/ship/check_lib.sh
. "$(dirname "$0")/check_lib.sh"

command -v mandoc >/dev/null || skip "mandoc is missing (scripts/deps.sh installs it)"

# Lint. Cross references are looked up among the manuals of the machine the
# test runs on (ipfw(8) is not on Linux), so those notes are not the page's.
mandoc -T lint -W style "$page" "$fwemu_page" >"$work/lint" 2>&1 || true
grep -v -e 'referenced manual not found' -e 'outdated mandoc.db' "$work/lint" >"$work/lint.page" || true
if [ -s "$work/lint.page" ]; then
  cat "$work/lint.page"
  fail "mandoc -T lint reports the pages"
fi

# Words that mdoc reads as macros wherever they stand on a macro line: "No"
# (normal text), "At" (AT&T UNIX), "An" (an author). At the start of a
# sentence inside a quotation ".Dq failed: No such process" the word is
# swallowed and the text after it taken as the macro's; written "\&No" it is
# a word. One is meant as a macro when it follows a macro's one argument
# (".Ar path No is"), which begins with a capital letter.
for p in "$page" "$fwemu_page"; do
  awk -v page="$p" '
    /^\./ {
      for (i = 2; i <= NF; i++) {
        if ($i != "No" && $i != "At" && $i != "An") continue
        if (i >= 3 && $(i - 2) ~ /^[A-Z][a-z][a-z]?$/) continue
        printf "%s:%d: %s read as a macro: %s\n", page, NR, $i, $0
      }
    }' "$p" >>"$work/macro.words"
done
if [ -s "$work/macro.words" ]; then
  cat "$work/macro.words"
  fail "words of the text are read as macros"
fi

# Phrases the pages must show as written, found in the text mandoc renders
# (overstrike removed, lines joined): each a place where a word of the text
# is also a macro's name, or was once taken for one.
rendered() { mandoc -T utf8 "$1" | col -b | tr '\n\t' '  ' | tr -s ' '; }
rendered "$page" >"$work/page.flat"
rendered "$fwemu_page" >"$work/fwemu.flat"
while IFS='|' read -r file phrase; do
  grep -qF -- "$phrase" "$work/$file.flat" || fail "the rendered $file page lacks: $phrase"
done <<'PHRASES'
page|the start fails with “failed to request table info: No such process”.
page|(also when the table does not exist: “No such process”;
page|(“metrics file metrics is not a regular file”)
page|(“metrics file path is the pid file”)
page|“Error requesting table table list: reason”
page|“Error requesting table table info: reason”
fwemu|(63 for dscp, 65535 for divert, for pipe and fib under FreeBSD 15 and for skipto under FreeBSD 14), and ipv4 and ipv6 stay zero.
fwemu|one that begins with a narrower field holds that field's largest number, which is no time,
PHRASES

# The usage text: "Usage: SYNOPSIS", then a line per option: seven blanks,
# the option, ten blanks, its description.
status=0
"$program" -h >/dev/null 2>"$work/usage" || status=$?
[ "$status" = 1 ] || fail "hostreapd -h exited with $status, not 1"
usage_synopsis=$(sed -n 's/^Usage: //p' "$work/usage")
[ -n "$usage_synopsis" ] || fail "no Usage line in the usage text"
sed -n 's/^       -\([A-Za-z0-9]\)          .*/\1/p' "$work/usage" | sort >"$work/usage.opts"
[ -s "$work/usage.opts" ] || fail "no option lines in the usage text"

# The page's flags: every "Fl X" of the SYNOPSIS section, and the ".It Fl X"
# items of the OPTIONS section.
section() { sed -n "/^\.Sh $1\$/,/^\.Sh /p" "$page"; }
section SYNOPSIS | grep -o 'Fl [A-Za-z0-9]' | cut -c4 | sort -u >"$work/synopsis.opts"
section OPTIONS | sed -n 's/^\.It Fl \([A-Za-z0-9]\).*/\1/p' | sort >"$work/list.opts"
diff -u "$work/usage.opts" "$work/synopsis.opts" || fail "the SYNOPSIS options differ from the usage text's"
diff -u "$work/usage.opts" "$work/list.opts" || fail "the option list differs from the usage text's"

# An argument: the page writes "Fl X Ar name"; the program, given -X last,
# says that it requires an argument.
while read -r opt; do
  in_page=no
  section OPTIONS | grep -q "^\.It Fl $opt Ar " && in_page=yes
  in_synopsis=no
  section SYNOPSIS | grep -q "Fl $opt Ar " && in_synopsis=yes
  in_program=no
  "$program" -f "-$opt" </dev/null >/dev/null 2>"$work/probe" || true
  # glibc quotes the letter, the BSDs do not.
  grep -Eq "option requires an argument -- '?$opt'?\$" "$work/probe" && in_program=yes
  [ "$in_page" = "$in_program" ] || fail "-$opt: argument in the option list: $in_page, in the program: $in_program"
  [ "$in_synopsis" = "$in_program" ] || fail "-$opt: argument in the SYNOPSIS: $in_synopsis, in the program: $in_program"
done <"$work/usage.opts"

# The rendered synopsis (overstrike removed) begins with the usage text's.
mandoc -T ascii -O width=200 "$page" | sed "s/.$(printf '\b')//g" >"$work/page.txt"
page_synopsis=$(sed -n '/^SYNOPSIS$/{n;s/^ *//;p;}' "$work/page.txt")
case $page_synopsis in
  "$usage_synopsis"*) ;;
  *) fail "the page's synopsis '$page_synopsis' does not begin with the usage text's '$usage_synopsis'" ;;
esac

# A numeric default in the usage text ("default: 5sec") is the page's too.
sed -n 's/^       -\([A-Za-z0-9]\)          .*default: \([0-9][0-9]*\).*/\1 \2/p' "$work/usage" >"$work/defaults"
while read -r opt value; do
  section OPTIONS | sed -n "/^\.It Fl $opt/,/^\.It /p" | grep -Eq "[Dd]efault( is)? $value([^0-9]|\$)" ||
    fail "-$opt: the option list does not give the default $value"
done <"$work/defaults"

# The version: "-V" prints "NAME VERSION" alone, both programs the same
# one, and each page's footer begins with "hostreapd VERSION" (the
# package's name).
first=""
check_version() {
  name=$(basename "$1")
  status=0
  "$1" -V >"$work/version" 2>"$work/version.err" || status=$?
  [ "$status" = 0 ] || fail "$name -V exited with $status"
  [ ! -s "$work/version.err" ] || fail "$name -V wrote to standard error: $(cat "$work/version.err")"
  version=$(sed -n "s/^$name \([0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*\)\$/\1/p" "$work/version")
  if [ -z "$version" ] || [ "$(wc -l <"$work/version")" != 1 ]; then
    fail "$name -V printed '$(cat "$work/version")', not '$name VERSION'"
    return
  fi
  [ -n "$first" ] || first=$version
  [ "$version" = "$first" ] || fail "$name -V prints $version, hostreapd -V $first"
  grep -qx "\.Os hostreapd $version" "$2" || fail "$2 does not say .Os hostreapd $version"
  mandoc -T ascii "$2" | tail -n 1 | grep -q "^hostreapd $version " ||
    fail "the footer of $2 does not begin with hostreapd $version"
}
check_version "$program" "$page"
check_version "$fwemu" "$fwemu_page"

finish "manual page"
