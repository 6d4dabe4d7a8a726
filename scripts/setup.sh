#!/usr/bin/env bash
# Prepares this checkout for use: the Debian packages that building lumencad
# and pygraphviz needs (a C/C++ compiler, Python headers and venv, Graphviz)
# and that the viewer's browser tests drive (headless Chromium and its driver),
# a virtual environment in .venv, and lumencad built and installed into it with
# its test dependencies. Safe to run every time.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(build-essential python3-dev python3-venv graphviz libgraphviz-dev pkg-config
  chromium chromium-driver)
missing=()
for pkg in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # Through env: sudo does not pass the caller's environment on.
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
# A venv whose creation failed half-way has a python but no pip: make it anew.
if ! .venv/bin/python -m pip --version >/dev/null 2>&1; then
  echo "setup: creating .venv"
  "$python" -m venv --clear .venv
  .venv/bin/python -m pip install -q --upgrade pip
fi

echo "setup: building and installing lumencad into .venv"
.venv/bin/python -m pip install -q --disable-pip-version-check '.[test]'
