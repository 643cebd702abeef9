#!/bin/sh
# The shared library's dynamic symbol table must be exactly the union of the lists in
# exports/: an accidental export, or a missing one, fails here.
set -eu
lib=$1
lists=$2
expected=$(mktemp)
actual=$(mktemp)
trap 'rm -f "$expected" "$actual"' EXIT
cat "$lists"/*.txt | sed 's/#.*//; s/[[:space:]]//g; /^$/d' | sort -u >"$expected"
# AddressSanitizer adds an __odr_asan.<name> symbol for every exported variable.
nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | grep -v '^__odr_asan' | sort -u >"$actual"
if ! diff -u "$expected" "$actual"; then
    echo "exported symbols differ from tests/abi/exports (- listed only, + exported only)"
    exit 1
fi
echo "exports match: $(wc -l <"$actual") symbols"
