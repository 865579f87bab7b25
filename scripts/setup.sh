#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the run command and the
# Debian package (cpack: dpkg-shlibdeps from dpkg-dev, file) need, when missing;
# poppler-utils reads the reports' PDF back in the tests.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-serialport-dev
          qt6-tools-dev-tools libqt6opengl6-dev libqcustomplot-dev libgtest-dev libgmock-dev
          xvfb xauth python3 fonts-dejavu-core clang-format dpkg-dev file poppler-utils ser2net
          socat libmosquitto-dev mosquitto mosquitto-clients pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
