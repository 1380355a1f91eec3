#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the release tarball of a commit (default HEAD), the distfile that
# the FreeBSD port fetches: hostreapd-VERSION.tar.gz, made by git archive,
# every file under hostreapd-VERSION/ (the port's WRKSRC), VERSION being
# project()'s in that commit's CMakeLists.txt. Then writes the port's
# distinfo for it: TIMESTAMP, SHA256 and SIZE, as the ports framework
# checks them. The tarball of a given commit is the same every time (its
# files carry the commit's time, and gzip is told to store no name or time
# of its own), so a release's distinfo stays valid for its tag.
#
#   scripts/release.sh [-o DIR] [-d DISTINFO] [COMMIT]
#
# -o: where the tarball goes (default build/release); -d: the distinfo
# file written (default the port's, packaging/freebsd/sysutils/hostreapd/
# distinfo). Prints the two paths.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/release
distinfo=packaging/freebsd/sysutils/hostreapd/distinfo
usage() {
  echo "usage: scripts/release.sh [-o DIR] [-d DISTINFO] [COMMIT]" >&2
  exit 64
}
while getopts o:d: opt; do
  case $opt in
    o) out=$OPTARG ;;
    d) distinfo=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -le 1 ] || usage
commit=$(git rev-parse --verify --quiet "${1:-HEAD}^{commit}") || {
  echo "release.sh: ${1:-HEAD} is not a commit" >&2
  exit 1
}
version=$(git show "$commit:CMakeLists.txt" | sed -n 's/^project(hostreapd VERSION \([0-9.]*\) .*/\1/p')
[ -n "$version" ] || {
  echo "release.sh: no version in project() of $commit's CMakeLists.txt" >&2
  exit 1
}

name=hostreapd-$version
file=$name.tar.gz
mkdir -p "$out" "$(dirname "$distinfo")"
git archive --format=tar --prefix="$name/" "$commit" | gzip -9n >"$out/$file.part"
mv "$out/$file.part" "$out/$file"

if command -v sha256sum >/dev/null; then
  sha256=$(sha256sum "$out/$file" | cut -d ' ' -f 1)
else
  sha256=$(sha256 -q "$out/$file")  # FreeBSD's
fi
size=$(wc -c <"$out/$file" | tr -d ' ')
printf 'TIMESTAMP = %s\nSHA256 (%s) = %s\nSIZE (%s) = %s\n' "$(date +%s)" "$file" "$sha256" "$file" "$size" \
  >"$distinfo"
echo "$out/$file"
echo "$distinfo"
