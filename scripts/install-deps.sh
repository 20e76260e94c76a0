#!/usr/bin/env bash
# Installs the Debian packages pedscan needs, only those that are missing.
set -euo pipefail

packages=(g++ cmake make pkg-config libopencv-dev libtclap-dev libalglib-dev
          libgtest-dev googletest libbenchmark-dev
          pybind11-dev python3-dev python3-numpy python3-pytest python3-opencv
          python3-distributed python3-tqdm nlohmann-json3-dev libpugixml-dev labelme-examples
          dpkg-dev man-db)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -qq "${missing[@]}"; then
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi
