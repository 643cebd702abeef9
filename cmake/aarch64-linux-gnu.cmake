# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu. Used by
# scripts/cross-arm64 to check that the library compiles where the x86 kernel dispatch does not
# exist; headers of dependencies (libusb) come from the host, whose are the same on every
# architecture, and nothing is linked.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
