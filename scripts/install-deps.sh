#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: installs only what is missing and refreshes the package lists
# only when something has to be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git python3 openssl curl
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libpugixml-dev
  libcli11-dev libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
  ccache clang libclang-rt-14-dev python3-boto3
  help2man dpkg-dev libxml2-utils
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
