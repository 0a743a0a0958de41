#!/usr/bin/env bash
# Prepares a machine for building and testing: system packages (when missing
# and we are root), a CPython >= 3.13, and the project's .venv with the
# build and test dependencies. Safe to run repeatedly.
set -euo pipefail
cd "$(dirname "$0")/.."

need_pkgs=()
for p in libavcodec-dev libavformat-dev libavutil-dev libswresample-dev \
         libgtest-dev pkg-config ffmpeg cmake g++ make; do
  dpkg -s "$p" >/dev/null 2>&1 || need_pkgs+=("$p")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "setup: installing ${need_pkgs[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
  else
    echo "setup: missing system packages: ${need_pkgs[*]} (run as root to install)" >&2
    exit 1
  fi
fi

find_python() {
  local c v
  for c in python3.14 python3.13 python3 python; do
    if command -v "$c" >/dev/null 2>&1; then
      v=$("$c" -c 'import sys; print(sys.version_info >= (3, 13))' 2>/dev/null || true)
      [ "$v" = True ] && { command -v "$c"; return; }
    fi
  done
  for c in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[3-9]*/bin/python3; do
    [ -x "$c" ] && { echo "$c"; return; }
  done
  return 1
}

if [ ! -x .venv/bin/python ]; then
  PY=$(find_python) || { echo "setup: no CPython >= 3.13 found" >&2; exit 1; }
  echo "setup: creating .venv with $PY"
  "$PY" -m venv .venv
fi
stamp=.venv/.deps-stamp
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  # Build requirements installed into the venv so that later builds can run
  # without isolation (incremental, no re-download).
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" \
      "numpy>=1.24" "pytest>=8" "pytest-timeout>=2.2" cmake ninja
  touch "$stamp"
fi
