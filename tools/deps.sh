#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
#   tools/deps.sh build   compilers and build tools
#   tools/deps.sh test    build + GoogleTest, the test-only peers (Kamailio among
#                         them), clang-tidy, clang-format and lld (the test
#                         build's linker)
set -euo pipefail
what=${1:-build}
pkgs=(g++ cmake ninja-build pkg-config)
if [ "$what" = test ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev clang-tidy clang-format lld
         libtiff-tools libtiff-dev libspandsp-dev libsofia-sip-ua-dev tshark sip-tester socat kamailio)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
  # The balancer test runs Kamailio in the foreground on loopback; the system
  # service that its package enables and starts is not wanted.
  if [[ " ${missing[*]} " == *" kamailio "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now kamailio > /dev/null 2>&1 || true
  fi
fi
