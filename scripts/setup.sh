#!/usr/bin/env bash
# Installs every Debian package that building, testing and running QK Relay needs, plus any
# package named on the command line (the benchmark adds its peers this way).
# Idempotent and quiet when everything is already there; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libpoco-dev libssl-dev zlib1g-dev libisal-dev openssl
    libgtest-dev googletest
    clang clang-format
    systemd util-linux
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev
    xvfb xauth fonts-dejavu-core
    "$@"
)

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

need_root() {
    echo "setup.sh: installing ${missing[*]} needs root or sudo ($1); run it as root or as a user who may use sudo." >&2
    exit 1
}
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || need_root "sudo is not installed"
    # Without a terminal sudo cannot ask for a password.
    sudo -n true 2>/dev/null || [ -t 0 ] || need_root "sudo needs a password and there is no terminal"
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
