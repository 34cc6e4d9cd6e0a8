#!/usr/bin/env bash
# Installs Debian packages whose commands are missing, so that a fresh machine
# (CI runs as root) gets the tools a make target needs.
#   tools/apt_install.sh COMMAND:PACKAGE ...   (PACKAGE defaults to COMMAND)
set -euo pipefail
missing=()
for pair in "$@"; do
    command=${pair%%:*}
    package=${pair#*:}
    if ! command -v "$command" >/dev/null 2>&1; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
else
    echo "missing Debian packages: ${missing[*]}; install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing with apt-get: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another process may hold the dpkg lock for a while: retry.
for attempt in 1 2 3 4 5 6; do
    if "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
        exit 0
    fi
    echo "apt-get failed (attempt $attempt); retrying in 20 s" >&2
    sleep 20
done
exit 1
