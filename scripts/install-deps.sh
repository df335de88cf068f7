#!/usr/bin/env bash
# Installs every Debian package the build, tests, benchmarks, demo and the
# Debian package need. With --runtime, only what building the programs
# (cmake --preset package, no tests) needs: the compiler and the runtime
# -dev packages.
# Idempotent: packages already present are left alone, and the package lists
# are refreshed only when something is missing.
set -euo pipefail

runtime=(
  build-essential cmake ninja-build pkg-config
  libasio-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev
  nlohmann-json3-dev libcli11-dev libsystemd-dev liburiparser-dev libmnl-dev
  libsecret-1-dev libtss2-dev libnftables-dev
)
packages=(
  "${runtime[@]}" git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libmsgpack-dev libmsgpack-cxx-dev
  gnome-keyring libsecret-tools swtpm swtpm-tools
  python3 dbus-daemon iputils-ping
  wireguard-go wireguard-tools iproute2 nftables procps
  dpkg-dev fakeroot lintian systemd util-linux passwd
)
case "${1:-}" in
  --runtime) packages=("${runtime[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--runtime]" >&2; exit 2 ;;
esac

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
