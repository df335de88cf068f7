#!/usr/bin/env bash
# Builds the Debian package build/kelvo_<version>_<arch>.deb: the programs
# from the "package" preset (no tests, so only the runtime -dev packages are
# needed), installed into a staging root with the files of packaging/, and
# depending on what they run: wireguard-go, systemd (sysusers, tmpfiles,
# the units) and the shared libraries dpkg-shlibdeps finds.
# Prints the package's path on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(kelvo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
build=build/package
stage=$PWD/$build/deb-root
deb=$PWD/build/kelvo_${version}_${arch}.deb

cmake --preset package >/dev/null
cmake --build --preset package -j "${JOBS:-2}"

rm -rf "$stage"
DESTDIR=$stage cmake --install $build --strip >/dev/null

# Debian's layout: compressed manual pages, the copyright and a changelog.
gzip -9n "$stage"/usr/share/man/man*/*
doc=$stage/usr/share/doc/kelvo
install -d "$doc"
install -m 0644 packaging/debian/copyright "$doc/copyright"
cat > "$doc/changelog" <<CHANGES
kelvo ($version) unstable; urgency=medium

  * Release $version.

 -- Kelvo developers <dev@kelvo.net>  $(date -R -u -d @"${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")
CHANGES
gzip -9n "$doc/changelog"

# The shared libraries the programs link, as package dependencies.
scratch=$(mktemp -d /tmp/kelvo-deb.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/debian"
printf 'Source: kelvo\n\nPackage: kelvo\nArchitecture: any\n' > "$scratch/debian/control"
shlibs=$(cd "$scratch" && dpkg-shlibdeps -O -e"$stage/usr/bin/kelvo" -e"$stage/usr/bin/kelvo-tun" \
  -e"$stage/usr/bin/kelvoctl" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "build-deb: dpkg-shlibdeps found no libraries" >&2; exit 1; }

find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage"/usr/bin/*

install -d "$stage/DEBIAN"
size=$(du -sk --apparent-size "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$shlibs, wireguard-go, systemd/" \
    packaging/debian/control.in > "$stage/DEBIAN/control"
for script in postinst prerm postrm; do
  install -m 0755 "packaging/debian/$script" "$stage/DEBIAN/$script"
done
(cd "$stage" && find etc -type f | sed 's|^|/|' > DEBIAN/conffiles)
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
