#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one Windows program under Wine on behalf of CTest and test discovery:
#
#   wine-run.sh program.exe [arguments...]
#
# The program sees its arguments, standard input, output and error unchanged,
# and this script exits with the program's status. Wine itself stays quiet:
# its debug channels are off, the helpers that would open windows or offer to
# download .NET/Gecko are disabled, and no X display is used.
#
# Prefix: $VELTRANO_WINEPREFIX (the toolchain file passes the build tree's
# wine-prefix directory). Without it, the nearest build tree above the program
# or the current directory is used, identified by its CMakeCache.txt.
set -eu

if [ "$#" -lt 1 ]; then
    echo "usage: wine-run.sh program.exe [arguments...]" >&2
    exit 64
fi

build_tree_above() {
    directory=$1
    while [ -n "$directory" ] && [ "$directory" != "/" ]; do
        if [ -f "$directory/CMakeCache.txt" ]; then
            printf '%s\n' "$directory"
            return 0
        fi
        directory=$(dirname -- "$directory")
    done
    return 1
}

prefix=${VELTRANO_WINEPREFIX:-}
if [ -z "$prefix" ]; then
    program_directory=$(cd -- "$(dirname -- "$1")" 2>/dev/null && pwd) || program_directory=
    if tree=$(build_tree_above "$program_directory") || tree=$(build_tree_above "$(pwd)"); then
        prefix=$tree/wine-prefix
    else
        echo "wine-run.sh: set VELTRANO_WINEPREFIX (no build tree found above $1)" >&2
        exit 70
    fi
fi

export WINEPREFIX="$prefix"
export VELTRANO_WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY

# A missing prefix would be created by the first program's Wine, which then
# reports it on standard error and leaves background services holding the
# caller's pipes. Create it here instead, once, quietly, under a lock so that
# parallel tests do not race (scripts/windows-tests.sh normally did it already).
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p -- "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            wineboot -i </dev/null >/dev/null 2>&1 || true
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
