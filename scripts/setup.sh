#!/usr/bin/env bash
# Prepares this checkout for use: the Debian packages Graphviz layout and
# pygraphviz need, a virtual environment in .venv, and lumencad built and
# installed into it with its test dependencies. Safe to run every time.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(graphviz libgraphviz-dev pkg-config)
missing=()
for pkg in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  "$python" -m venv .venv
  .venv/bin/python -m pip install -q --upgrade pip
fi

echo "setup: building and installing lumencad into .venv"
.venv/bin/python -m pip install -q --disable-pip-version-check '.[test]'
