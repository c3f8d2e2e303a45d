#!/usr/bin/env bash
# Installs the Debian packages the build and tests need; does nothing when
# they are all present.
set -euo pipefail
packages=(cmake g++ make python3 pkg-config libcurl4-openssl-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev
  libcpp-httplib-dev libmicrohttpd-dev libsystemd-dev clang libclang-rt-dev python3-prometheus-client dpkg-dev
  systemd lintian help2man prometheus)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
