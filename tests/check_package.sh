#!/usr/bin/env bash
# Builds the Debian package of a build, unpacks it into a scratch folder and checks what a user
# gets: the files, the declared package name, version and run-time dependencies, the license,
# and that the unpacked kelvarin converts the bundled example into the image kept beside it.
#   check_package.sh CPACK BUILD_DIR SOURCE_DIR VERSION
# Exits 77 (skipped) when a tool that builds the package is missing.
set -euo pipefail
cpack=$1 build=$2 source=$3 version=$4
work=$build/package-check
rm -rf "$work"
mkdir -p "$work"
fail() {
  echo "package check: $*" >&2
  exit 1
}
# cpack finds the package's dependencies with dpkg-shlibdeps, which runs file.
for tool in dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null; then
    echo "package check: $tool not found: skipped"
    exit 77
  fi
done

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack could not build the package"
fi
debs=("$work"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $work, found: ${debs[*]}"
deb=${debs[0]}

expected="./usr/bin/kelvarin
./usr/bin/kvrtool
./usr/share/bash-completion/completions/kelvarin
./usr/share/bash-completion/completions/kvrtool
./usr/share/doc/kelvarin/README.md
./usr/share/doc/kelvarin/copyright
./usr/share/man/man1/kelvarin.1
./usr/share/man/man1/kvrtool.1"
files=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sort)
[ "$files" = "$expected" ] || fail "the package holds
$files
instead of
$expected"

[ "$(dpkg-deb -f "$deb" Package)" = kelvarin ] || fail "the package is not named kelvarin"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version), not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsndfile1 zlib1g; do
  [[ ", $depends," =~ ,\ $library[\ ,] ]] || fail "Depends ($depends) lacks $library"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
cmp -s "$root/usr/share/doc/kelvarin/copyright" "$source/LICENSE" || fail "the copyright file is not the LICENSE"
"$root/usr/bin/kvrtool" --version | grep -qx "kvrtool $version" || fail "the unpacked kvrtool is not version $version"
"$root/usr/bin/kelvarin" "$source/examples/game.csw" "$work/game.kvr" >"$work/kelvarin.log" ||
  fail "the unpacked kelvarin failed on examples/game.csw: $(cat "$work/kelvarin.log")"
cmp "$work/game.kvr" "$source/examples/game.kvr" || fail "the unpacked kelvarin made another image of examples/game.csw"
echo "package check: $(basename "$deb") holds $(echo "$files" | wc -l) files, depends on: $depends"
