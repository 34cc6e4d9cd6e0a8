#!/usr/bin/env bash
# Applies the formatter and the safe lint fixes that `make lint` checks:
# clang-format (.clang-format) on every tracked C++ file and `ruff check --fix`
# (pyproject.toml) on the Python. Run it after a merge, then `make lint`.
#   tools/format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
make --no-print-directory .venv-build/.lint-ok
tools/apt_install.sh clang-format
git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
.venv-build/bin/ruff check --fix
