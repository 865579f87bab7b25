#!/usr/bin/env bash
# Builds what the Windows program needs and Debian does not ship for MinGW:
# Qt 6 (qtbase), QCustomPlot, GoogleTest and libmosquitto, each from Debian's
# own source package, into a cache outside the clone. The cache is keyed by the source
# version and the build options, so a second run only checks that it is there.
#
#   scripts/windows/deps.sh            prints the prefixes holding them:
#                                      QT;LIBS;MOSQUITTO
#   scripts/windows/deps.sh --install PACKAGE...
#                                      only installs those Debian packages
#                                      where they are missing
#   KORVEN_WIN_CACHE=DIR               where the cache lives
#                                      (default ~/.cache/korven-darir-windows)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KORVEN_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korven-darir-windows}
toolchain=$here/mingw64.cmake
jobs=${KORVEN_JOBS:-$(nproc)}
mkdir -p "$cache"
log() { echo "deps: $*" >&2; }

# ---- tools, from Debian's packages (NSIS and zip for the installer)
install_missing() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  log "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
if [ "${1:-}" = --install ]; then
  shift
  install_missing "$@"
  exit 0
fi
install_missing g++-mingw-w64-x86-64-posix mingw-w64-tools cmake ninja-build dpkg-dev xz-utils \
  qt6-base-dev qt6-base-dev-tools nsis zip

# ---- source packages, through a deb-src list of our own so the system's
# package lists stay as they are
apt_src=$cache/apt
fetch_source() { # package -> unpacked directory on stdout
  local pkg=$1 dir
  mkdir -p "$apt_src/parts" "$apt_src/lists/partial" "$cache/src"
  if [ ! -s "$apt_src/parts/src.sources" ]; then
    local uris
    uris=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1 | cut -d' ' -f2- || true)
    [ -n "$uris" ] || uris=$(grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -1 | awk '{print $2}' || true)
    [ -n "$uris" ] || { log "no Debian mirror in the apt sources"; exit 3; }
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$uris" >"$apt_src/parts/src.sources"
  fi
  local opts=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$apt_src/parts"
              -o Dir::State::Lists="$apt_src/lists" -o Dir::Cache="$apt_src/cache")
  if [ ! -e "$apt_src/lists/.updated" ]; then
    mkdir -p "$apt_src/cache/archives/partial"
    apt-get "${opts[@]}" update -qq >&2
    touch "$apt_src/lists/.updated"
  fi
  dir=$(ls -d "$cache/src/$pkg"-*/ 2>/dev/null | head -1 || true)
  if [ -z "$dir" ]; then
    (cd "$cache/src" && apt-get "${opts[@]}" source -qq --download-only "$pkg" >&2 &&
       dpkg-source --no-check -x "$(ls "${pkg}"_*.dsc | head -1)" >&2)
    dir=$(ls -d "$cache/src/$pkg"-*/ | head -1)
  fi
  echo "${dir%/}"
}

# ---- Qt: qtbase only (Core, Gui, Widgets, Network, PrintSupport and the
# Windows platform plugin); the serial port and the panels are our own code.
qt_options=(-DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
  -DQT_BUILD_BENCHMARKS=OFF -DBUILD_WITH_PCH=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_openssl=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF)
qtsrc=$(fetch_source qt6-base)
qtver=$(basename "$qtsrc" | sed 's/^qt6-base-//')
key=$(printf '%s\n' "$qtver" "${qt_options[@]}" "$(cat "$toolchain")" | sha256sum | cut -c1-12)
qt_prefix=$cache/qt-$qtver-$key
if [ ! -e "$qt_prefix/.complete" ]; then
  log "building Qt $qtver for Windows into $qt_prefix (about 35 minutes on 2 cores)"
  # An interrupted or differently configured build keeps its objects: only
  # the configuration is redone, and ninja rebuilds what it changed.
  rm -rf "$qt_prefix" "$cache/qt-build/CMakeCache.txt"
  cmake -G Ninja -S "$qtsrc" -B "$cache/qt-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$qt_prefix" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    "${qt_options[@]}" >"$cache/qt-configure.log" 2>&1 ||
    { tail -30 "$cache/qt-configure.log" >&2; exit 1; }
  cmake --build "$cache/qt-build" -j"$jobs" >"$cache/qt-build.log" 2>&1 ||
    { tail -30 "$cache/qt-build.log" >&2; exit 1; }
  cmake --install "$cache/qt-build" >"$cache/qt-install.log" 2>&1
  rm -rf "$cache/qt-build"
  touch "$qt_prefix/.complete"
fi

# ---- QCustomPlot and GoogleTest, built with the project's toolchain
# against that Qt, into a prefix of their own
libs_prefix=$qt_prefix-libs
if [ ! -e "$libs_prefix/.complete" ]; then
  rm -rf "$libs_prefix"
  qcpsrc=$(fetch_source qcustomplot)
  gtsrc=$(fetch_source googletest)
  log "building QCustomPlot and GoogleTest into $libs_prefix"
  # Debian's source carries its own CMake build (a shared QCustomPlotQt6).
  cmake -G Ninja -S "$qcpsrc" -B "$cache/qcp-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$qt_prefix" -DUSE_QT_VERSION=6 \
    -DKORVEN_WIN_PREFIXES="$qt_prefix" -DCMAKE_INSTALL_PREFIX="$libs_prefix" >&2
  cmake --build "$cache/qcp-build" -j"$jobs" >&2 && cmake --install "$cache/qcp-build" >&2
  cmake -G Ninja -S "$gtsrc" -B "$cache/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$libs_prefix" -DBUILD_GMOCK=ON >&2
  cmake --build "$cache/gtest-build" -j"$jobs" >&2 && cmake --install "$cache/gtest-build" >&2
  rm -rf "$cache/qcp-build" "$cache/gtest-build"
  touch "$libs_prefix/.complete"
fi
# ---- libmosquitto, the MQTT client library alone (no broker, clients or
# plugins). No OpenSSL is built here, so it has no TLS: the program then says
# that mqtts:// is not supported in this build. Its CMake file takes the
# threads of pthreads-win32 from C:\pthreads on Windows; MinGW's own POSIX
# threads serve instead.
mosq_options=(-DCMAKE_BUILD_TYPE=Release -DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_EC=OFF
  -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF
  -DWITH_CJSON=OFF -DWITH_STATIC_LIBRARIES=OFF -DWITH_THREADING=ON)
mosqsrc=$(fetch_source mosquitto)
mosqver=$(basename "$mosqsrc" | sed 's/^mosquitto-//')
key=$(printf '%s\n' "$mosqver" "${mosq_options[@]}" "$(cat "$toolchain")" | sha256sum | cut -c1-12)
mosq_prefix=$cache/mosquitto-$mosqver-$key
if [ ! -e "$mosq_prefix/.complete" ]; then
  log "building libmosquitto $mosqver into $mosq_prefix"
  rm -rf "$mosq_prefix" "$cache/mosq-build"
  sed -i '/^option(WITH_THREADING/,/^endif (WITH_THREADING)/ s/^\tif (WIN32)$/\tif (MSVC)/' \
    "$mosqsrc/CMakeLists.txt"
  cmake -G Ninja -S "$mosqsrc" -B "$cache/mosq-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$mosq_prefix" "${mosq_options[@]}" >&2
  cmake --build "$cache/mosq-build" -j"$jobs" --target libmosquitto >&2
  mkdir -p "$mosq_prefix/bin" "$mosq_prefix/lib" "$mosq_prefix/include"
  cp "$mosqsrc/include/mosquitto.h" "$mosqsrc/include/mqtt_protocol.h" "$mosq_prefix/include/"
  cp "$cache/mosq-build/lib/libmosquitto.dll" "$mosq_prefix/bin/"
  cp "$cache/mosq-build/lib/libmosquitto.dll.a" "$mosq_prefix/lib/"
  rm -rf "$cache/mosq-build"
  touch "$mosq_prefix/.complete"
fi
echo "$qt_prefix;$libs_prefix;$mosq_prefix"
