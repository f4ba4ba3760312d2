# SPDX-License-Identifier: MIT
# Sourced by scripts/test.sh and scripts/repeat-tests.sh: how each native leg's
# tree is configured and built, so that both run the very same builds.
#
#   build_native_leg build-tests | build-sanitize | build-thread

build_native_leg() {
    local build_dir=$1
    local sanitizers=""
    case $build_dir in
    build-tests) ;;
    build-sanitize) sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all" ;;
    build-thread) sanitizers="-fsanitize=thread -fno-omit-frame-pointer" ;;
    *)
        echo "build_native_leg: no native leg builds into $build_dir" >&2
        return 1 ;;
    esac
    local flags=()
    if [ -n "$sanitizers" ]; then
        flags=(-DCMAKE_BUILD_TYPE=Debug -DVELTRANO_BUILD_BENCHMARKS=OFF
            "-DCMAKE_CXX_FLAGS=$sanitizers" "-DCMAKE_C_FLAGS=$sanitizers"
            "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers" "-DCMAKE_SHARED_LINKER_FLAGS=$sanitizers"
            "-DCMAKE_MODULE_LINKER_FLAGS=$sanitizers")
    fi
    cmake -S . -B "$build_dir" -G Ninja -DVELTRANO_WARNINGS_AS_ERRORS=ON "${flags[@]}" </dev/null >/dev/null
    cmake --build "$build_dir" </dev/null
}
