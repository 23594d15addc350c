#!/usr/bin/env bash
# Installs from Debian's archive whatever the build and the tests need and this machine lacks.
set -euo pipefail

needed=(
  cmake g++ make libgtest-dev libgmock-dev            # native build and tests
  g++-mingw-w64-x86-64 wine wine64                    # the Windows build, run under Wine
  pulseaudio pulseaudio-utils                         # a real audio server for it to play to
)

missing=()
for p in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
