#!/usr/bin/env bash
# Installs every Debian package the build, tests, benchmarks and demo need.
# Idempotent: packages already present are left alone, and the package lists
# are refreshed only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasio-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev
  nlohmann-json3-dev libcli11-dev libmsgpack-dev libmsgpack-cxx-dev libsystemd-dev
  liburiparser-dev
  libsecret-1-dev gnome-keyring libsecret-tools libtss2-dev swtpm swtpm-tools
  python3 dbus-daemon iputils-ping
  wireguard-go wireguard-tools iproute2 libmnl-dev libnftables-dev nftables procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
