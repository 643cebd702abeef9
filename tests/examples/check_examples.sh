#!/bin/sh
# Builds the examples against an installed libtarvo, as a user would, and runs them against a
# virtual camera facing a wall 1 m away:
#   - the C examples and the C++ example (C++17 and C++20) through pkg-config alone,
#   - the same through the examples' CMake project (find_package(tarvo)),
#   - each program under tarvo-vcam, in a scratch folder: the centre distance is the wall's.
set -eu
build=$1
src=$2
vcam=$3
. "$(dirname "$0")/../support/scratch_install.sh"

mkdir -p "$work/pc"
for example in centre_distance save_cloud frame_callback; do
    cc -std=c99 -Wall -Wextra -Werror $cflags "$src/examples/c/$example.c" -o "$work/pc/$example" $libs
done
for std in 17 20; do
    c++ -std=c++$std -pedantic -Wall -Wextra -Werror $cflags "$src/examples/cpp/centre_distance.cpp" \
        -o "$work/pc/centre_distance_cpp$std" $libs
done

cmake -S "$src/examples" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cm" >/dev/null

run() { # folder program args...: runs it against the wall in an empty folder of its own
    out=$work/run.$$
    rm -rf "$out" && mkdir "$out"
    (cd "$out" && LD_LIBRARY_PATH=$libdir "$vcam" --scene wall:1.0 -- "$@") >"$work/out.txt" 2>"$work/err.txt" || {
        echo "FAILED: $*"; cat "$work/out.txt" "$work/err.txt"; exit 1; }
    cat "$work/out.txt"
}
centre_is_wall() { # the printed centre distances lie within 5 cm of 1 m
    awk '/centre/ { for (i = 1; i <= NF; i++) if ($i == "centre") { d = $(i + 1) + 0;
         n++; if (d < 0.95 || d > 1.05) bad++ } }
         END { if (n == 0 || bad) { print "centre distances off the wall: " n " frames, " bad " bad"; exit 1 } }' "$work/out.txt"
}

for dir in "$work/pc" "$work/cm"; do
    run "$dir/centre_distance" 3 && centre_is_wall
    run "$dir/frame_callback" 5 && grep -q '^5 frames received' "$work/out.txt"
    run sh -c "'$dir/save_cloud' cloud.ply && head -c 3 cloud.ply | grep -q ply"
done
for std in 17 20; do
    run "$work/pc/centre_distance_cpp$std" 3 && centre_is_wall
    run "$work/cm/centre_distance_cpp$std" 2 && centre_is_wall
done
echo "examples built against the installed library and ran"
