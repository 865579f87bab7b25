#!/usr/bin/env bash
# Builds the Windows program on Debian: the dependencies from Debian's
# source packages (cached, see deps.sh), then the program and its tests
# with MinGW-w64, then the portable zip and the NSIS installer.
#
#   scripts/windows/build.sh [BUILD_DIR]     (default build-windows)
#
# Results in BUILD_DIR/dist: KORVEN-Darir-<version>-setup.exe,
# KORVEN-Darir-<version>-portable.zip and the folder both are made from.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath -m "${1:-$root/build-windows}")
jobs=${KORVEN_JOBS:-$(nproc)}
log() { echo "windows: $*" >&2; }

# deps.sh also installs the tools (MinGW-w64, NSIS, zip) when missing.
prefixes=$("$here/deps.sh")
IFS=';' read -r qt_prefix libs_prefix mosq_prefix <<<"$prefixes"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
log "configuring $build"
mkdir -p "$build"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/mingw64.cmake" \
  -DKORVEN_WIN_PREFIXES="$qt_prefix;$libs_prefix;$mosq_prefix" \
  -DCMAKE_PREFIX_PATH="$qt_prefix;$libs_prefix;$mosq_prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DKORVEN_WERROR=ON "${launcher[@]}" >"$build/configure.log" 2>&1 ||
  { tail -40 "$build/configure.log" >&2; exit 1; }
log "building"
cmake --build "$build" -j"$jobs"

# ---- the folder the zip and the installer are made from: the program, its
# layout file and pictures, and only the libraries and plugins it loads.
version=$(sed -n 's/^project(korven_darir VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
dist=$build/dist
app=$dist/KORVEN-Darir
rm -rf "$dist"
mkdir -p "$app/platforms" "$app/styles"
cp "$build/korven-darir.exe" "$build/korven-darir-cli.exe" "$build/KORVENDarir23.uir" \
  "$build"/*.png "$app/"
mingw_dirs=(/usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)
find_dll() {
  local d
  for d in "$qt_prefix/bin" "$libs_prefix/bin" "$libs_prefix/lib" "$mosq_prefix/bin" \
    "${mingw_dirs[@]}"; do
    [ -e "$d/$1" ] && { echo "$d/$1"; return; }
  done
  return 1
}
# The DLLs an executable or library imports that are not the system's own,
# followed through what those import in turn.
copy_imports() {
  local f dll
  for f in "$@"; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\tDLL Name: //p'); do
      [ -e "$app/$dll" ] && continue
      if src=$(find_dll "$dll"); then
        cp "$src" "$app/"
        copy_imports "$app/$dll"
      fi
    done
  done
}
cp "$qt_prefix/plugins/platforms/qwindows.dll" "$app/platforms/"
cp "$qt_prefix/plugins/platforms/qoffscreen.dll" "$app/platforms/"
cp "$qt_prefix/plugins/styles/"*.dll "$app/styles/" 2>/dev/null || true
copy_imports "$app/korven-darir.exe" "$app/korven-darir-cli.exe" "$app"/platforms/*.dll \
  "$app"/styles/*.dll
x86_64-w64-mingw32-strip --strip-unneeded "$app"/*.exe "$app"/*.dll "$app"/*/*.dll
cp "$root/packaging/korven-darir.ico" "$app/"
printf '[Paths]\nPlugins = .\n' >"$app/qt.conf"

log "portable zip"
(cd "$dist" && rm -f "KORVEN-Darir-$version-portable.zip" &&
   zip -qr9 "KORVEN-Darir-$version-portable.zip" KORVEN-Darir)

log "installer"
makensis -V2 -DVERSION="$version" -DAPPDIR="$app" -DOUTFILE="$dist/KORVEN-Darir-$version-setup.exe" \
  "$root/packaging/windows/korven-darir.nsi" >&2
ls -l "$dist"/*.exe "$dist"/*.zip >&2
