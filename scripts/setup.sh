#!/usr/bin/env bash
# Installs whatever Debian packages of scripts/packages.txt are missing; quiet when all are there.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t packages < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' scripts/packages.txt)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
