#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
#   install-deps.sh linux    # library, tools, tests, benchmarks
#   install-deps.sh all      # and the Windows cross-build and Wine
set -euo pipefail

linux=(cmake make g++ clang libclang-rt-14-dev pkg-config libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libfmt-dev python3 python3-pytest valgrind clang-format)
# The Python package: an offline pip install into a virtual environment.
linux+=(python3-venv python3-setuptools python3-wheel)
windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)

case ${1:-all} in
linux) wanted=("${linux[@]}") ;;
all) wanted=("${linux[@]}" "${windows[@]}") ;;
*) echo "usage: $0 linux|all" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
