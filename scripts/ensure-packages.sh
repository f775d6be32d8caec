#!/usr/bin/env bash
# ensure-packages.sh WHAT PACKAGE...: installs the Debian packages that are
# missing (as root, with apt-get), or prints the exact apt-get line and fails.
# WHAT names what they are for, in the message.
set -euo pipefail

what=$1
shift
missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages for $what. As root, run:" >&2
    echo "  apt-get update && $line" >&2
    exit 1
fi
# apt's own progress shows: a cold install takes a minute or more.
echo "Installing for $what with apt-get: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=300 update
apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}"
