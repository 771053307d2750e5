#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, by package name.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libgtest-dev libfuse3-dev fuse3 "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq </dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
