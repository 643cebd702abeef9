#!/bin/sh
# Installs the library into a scratch prefix and builds consumers against the installed files
# alone: every public header on its own as C99 and as C++, a C99 program through pkg-config,
# a CMake project through find_package(tarvo), and a program that defines functions of the
# same names as the library's own (the library must keep calling its own).
set -eu
build=$1
src=$2
. "$(dirname "$0")/../support/scratch_install.sh"

for header in "$prefix"/include/tarvo/*.h; do
    name=$(basename "$header")
    printf '#include <tarvo/%s>\n#include <tarvo/%s>\nint main(void) { return 0; }\n' "$name" "$name" >"$work/h.c"
    cc -std=c99 -pedantic -Wall -Wextra -Werror $cflags -c "$work/h.c" -o "$work/h.o"
    cp "$work/h.c" "$work/h.cpp"
    c++ -std=c++17 -Wall -Wextra -Werror $cflags -c "$work/h.cpp" -o "$work/h.o"
done

cc -std=c99 -Wall -Wextra -Werror $cflags "$src/consumer.c" -o "$work/consumer" $libs
LD_LIBRARY_PATH=$libdir "$work/consumer" "$work"

cc -std=c99 -Wall -Wextra -Werror $cflags "$src/interpose.c" -o "$work/interpose" $libs
(cd "$work" && LD_LIBRARY_PATH=$libdir ./interpose)

mkdir -p "$work/cm"
cat >"$work/cm/CMakeLists.txt" <<'CMK'
cmake_minimum_required(VERSION 3.22)
project(consumer C)
find_package(tarvo REQUIRED)
add_executable(consumer consumer.c)
target_link_libraries(consumer PRIVATE tarvo::tarvo)
CMK
cp "$src/consumer.c" "$work/cm/"
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm/build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cm/build/consumer" "$work"
echo "install check passed"
