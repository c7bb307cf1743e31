#!/usr/bin/env bash
# Set-up on a fresh Debian or Ubuntu machine: installs with apt-get what is missing, then runs
# `make run` or `make test`.
#
#   ./build.sh run     g++, cmake and make; then builds the tool and runs it on examples/
#   ./build.sh test    also libgtest-dev, python3 and groff-base; then runs every test
#
# Arguments after run or test go to make (./build.sh test JOBS=1). Packages are installed as
# root, or through sudo; where neither works the apt-get line to run is printed and nothing
# else is done.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    echo "usage: ./build.sh run|test [make arguments...]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
target=$1
shift
case $target in
run | test) ;;
*) usage ;;
esac

missing=()
need_command() { # command, package
    command -v "$1" >/dev/null 2>&1 || missing+=("$2")
}
need_file() { # file, package
    [ -e "$1" ] || missing+=("$2")
}

need_command g++ g++
need_command cmake cmake
need_command make make
if [ "$target" = test ]; then
    need_file /usr/include/gtest/gtest.h libgtest-dev
    # Cheap optional checkers: the tests of the Python scripts and the manual page check.
    # The others (valgrind, lintian, ...) are listed at the end of `make test` when missing.
    need_command python3 python3
    need_command groff groff-base
fi

if [ ${#missing[@]} -gt 0 ]; then
    install_line="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "build.sh: missing ${missing[*]}, and there is no apt-get here: install them" \
            "with the system's package manager, then run make $target." >&2
        exit 1
    fi
    if [ "$(id -u)" -eq 0 ]; then
        as_root=()
    elif command -v sudo >/dev/null 2>&1 && sudo -v; then
        as_root=(sudo)
    else
        echo "build.sh: missing ${missing[*]}. Run as root:" >&2
        echo "  $install_line" >&2
        echo "then ./build.sh $target again." >&2
        exit 1
    fi
    echo "build.sh: installing ${missing[*]}"
    "${as_root[@]}" apt-get update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
fi

exec make "$target" "$@"
