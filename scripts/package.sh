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
if ! head -n1 packaging/changelog | grep -q "^zul (${version}-[0-9]*) "; then
    echo "package.sh: packaging/changelog does not start with version ${version}" >&2
    exit 1
fi
if ! grep -q "<release version=\"${version}\"" "resources/desktop/${APP_ID}.metainfo.xml"; then
    echo "package.sh: the metainfo has no release ${version}" >&2
    exit 1
fi

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
echo "== lintian"
lintian --info "$deb" || status=1
echo "== desktop-file-validate"
desktop-file-validate "resources/desktop/${APP_ID}.desktop" || status=1
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "resources/desktop/${APP_ID}.metainfo.xml" || status=1
exit "$status"
