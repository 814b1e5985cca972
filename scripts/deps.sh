#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet.
# Sourced by run.sh and test.sh; needs root (or sudo) only when something is missing.
install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(g++ cmake make pkg-config git libssl-dev libjansson-dev ca-certificates)
TEST_PACKAGES=(libgtest-dev openssl procps groff-base)
