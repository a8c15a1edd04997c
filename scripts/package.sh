#!/usr/bin/env bash
# Builds the Debian package build/pkg/zul_<version>-<revision>_<arch>.deb with CPack and checks
# it: lintian (no errors), desktop-file-validate (silent) and appstreamcli (valid metainfo).
#
#   scripts/package.sh            build and check
#   scripts/package.sh --no-check build only
#
# The program is built with Debian's hardening flags (dpkg-buildflags) in its own build folder,
# so that the other builds keep their flags and their ccache entries.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zul_ensure_packages dpkg-dev file librsvg2-bin lintian appstream desktop-file-utils

check=1
for arg in "$@"; do
    case "$arg" in
        --no-check) check=0 ;;
        *) echo "usage: scripts/package.sh [--no-check]" >&2; exit 2 ;;
    esac
done

BUILD=build/pkg
APP_ID=org.zul.Zul
version=$(sed -n 's/^project(zul VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# A new version needs its entry in the Debian changelog and a release in the metainfo.
revision=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE \([0-9]*\))/\1/p' cmake/install.cmake)
cmake -DSOURCE_DIR=. -DVERSION="$version" -DREVISION="$revision" -P packaging/check_release.cmake

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    # No debugging information: the package ships the program stripped.
    export DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
    cppflags=$(dpkg-buildflags --get CPPFLAGS)
    CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
    CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
    export CFLAGS CXXFLAGS LDFLAGS
fi
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# CPack installs what is built; it does not build the tools and tests beside the program.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_TESTS=OFF \
    -DZUL_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" >/dev/null
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$BUILD" --target zul zul_package_files
rm -f "$BUILD"/zul_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/zul_*.deb)
echo "Built $deb"
[ "$check" -eq 1 ] || exit 0

status=0
echo "== contents"
# The program with its language modules and sound in one folder, and what desktops look for.
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
wanted=(usr/bin/zul usr/lib/zul/zul usr/lib/zul/zulincoming.wav
        usr/share/applications/$APP_ID.desktop usr/share/metainfo/$APP_ID.metainfo.xml
        usr/share/icons/hicolor/scalable/apps/$APP_ID.svg
        usr/share/doc/zul/copyright usr/share/doc/zul/changelog.Debian.gz usr/share/man/man1/zul.1.gz)
for size in 16 22 24 32 48 64 128 256 512; do
    wanted+=("usr/share/icons/hicolor/${size}x${size}/apps/$APP_ID.png")
done
for module in resources/lang/qan.dll.*.mui; do wanted+=("usr/lib/zul/$(basename "$module")"); done
for path in "${wanted[@]}"; do
    grep -qxF "./$path" <<<"$listing" || { echo "missing: /$path"; status=1; }
done
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
"$unpacked/usr/bin/zul" --version || status=1
rm -rf "$unpacked"
echo "== lintian"
lintian --info "$deb" || status=1
echo "== desktop-file-validate"
desktop-file-validate "resources/desktop/${APP_ID}.desktop" || status=1
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "resources/desktop/${APP_ID}.metainfo.xml" || status=1
exit "$status"
