# Sourced by the install checks: installs the build tree $build into a scratch folder $work
# (removed at exit) and sets $prefix, $libdir, PKG_CONFIG_PATH, $cflags and $libs for building
# consumers against the installed files alone.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libtarvo.so' -printf '%h\n' | head -n 1)
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags=$(pkg-config --cflags tarvo)
libs=$(pkg-config --libs tarvo)
