#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-dev clang-format libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev nlohmann-json3-dev
          qt6-base-dev xvfb xauth twm xfonts-base
          pkg-config libmosquitto-dev mosquitto mosquitto-clients libtomlplusplus-dev
          libsqlite3-dev libssl-dev openssl dpkg-dev systemd lintian adduser
          python3 python3-cryptography)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
