#!/bin/sh
# Installs the project into a scratch prefix and imports the installed tarvo package from the
# folder it went to, with nothing else on the library path: the module must find libtarvo on its
# own, and the stubs and the typing marker must be there. TARVO_PYTHON_PRELOAD is preloaded into
# the interpreter (the sanitizer runtime in a sanitised tree).
set -eu
build=$1
python=$2
package_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
site=$work/prefix/$package_dir
for f in __init__.py __init__.pyi _errors.py py.typed; do
    test -f "$site/tarvo/$f" || { echo "missing $site/tarvo/$f"; exit 1; }
done
cd "$work"
env -u LD_LIBRARY_PATH PYTHONPATH="$site" LD_PRELOAD="${TARVO_PYTHON_PRELOAD:-}" "$python" -c '
import sys, tarvo
assert tarvo.__file__.startswith(sys.argv[1]), tarvo.__file__
assert tarvo.error_name(-5) == "TARVO_ERR_CAP_TIMEOUT"
' "$site"
echo "python install check passed"
