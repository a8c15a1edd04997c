#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when something is missing; with them the
# colour emoji font, which the window draws emoji from (and the chat page's tests look for).
# Sourced by run.sh, test.sh, bench.sh and fuzz.sh.

ZUL_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libsqlite3-dev libssl-dev libsecret-1-dev
    gnome-keyring dbus-daemon
    qt6-base-dev qt6-svg-dev qt6-multimedia-dev qt6-translations-l10n
    libgtest-dev libgmock-dev libbenchmark-dev
    fonts-noto-color-emoji
)

zul_ensure_packages() {
    local missing=()
    local p
    for p in "${ZUL_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
