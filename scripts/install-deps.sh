#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -euo pipefail
packages=(g++ make cmake libboost1.81-dev nlohmann-json3-dev libssl-dev openssl libgtest-dev libgmock-dev curl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (run as root): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
