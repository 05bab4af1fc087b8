#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine (run as root).
# Packages already present are left alone, so a second run costs one dpkg query.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libpcre2-dev libsimdjson-dev libssl-dev
  python3 python3-dev pybind11-dev
  python3-pip python3-setuptools python3-wheel python3-venv
  googletest libgtest-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "bootstrap: installing ${missing[*]}" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The syntax-tree runtime and grammars: C sources from the npm packages pinned in
# package-lock.json, installed without running any package script. Skipped when
# node_modules already holds exactly that lock.
cd "$(dirname "$0")/.."
if ! cmp -s package-lock.json node_modules/.kestrune-lock 2>/dev/null; then
  if ! command -v npm >/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    echo "bootstrap: installing npm" >&2
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
  fi
  echo "bootstrap: npm ci (tree-sitter sources)" >&2
  npm ci --ignore-scripts --no-audit --no-fund >/dev/null
  cp package-lock.json node_modules/.kestrune-lock
fi
