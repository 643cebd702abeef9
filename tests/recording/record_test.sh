#!/bin/sh
# tarvo record against a virtual camera (run under tarvo-vcam --scene sphere:1.25), read back by
# @mcap/core: a complete recording, one ended by Ctrl-C and one killed with kill -9.
# Usage: record_test.sh TARVO READER NODE_MODULES
set -eu
tarvo=$1
reader=$2
export NODE_PATH=$3
if [ ! -d "$NODE_PATH/@mcap/core" ]; then
    echo "FAIL: @mcap/core is not installed under $NODE_PATH (configure with npm on the PATH)"
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
run() { "$tarvo" --path "$work/prefix/" --log "$work/tarvo.log" "$@"; }
# The recorder in the background, as a process of its own ($! is its id).
opts="--path $work/prefix/ --log $work/tarvo.log"

# Waits (up to a minute) until FILE has grown 5 times: the header, the camera's description,
# then chunks of frames (a file of identical frames compresses well, so its size says little).
wait_for_chunks() {
    i=0
    changes=0
    last=0
    while [ $changes -lt 5 ]; do
        size=$(stat -c %s "$1" 2>/dev/null || echo 0)
        [ "$size" -eq "$last" ] || changes=$((changes + 1))
        last=$size
        i=$((i + 1))
        [ $i -le 600 ] || { echo "FAIL: $1 did not grow"; exit 1; }
        sleep 0.1
    done
}

frames_of() { sed -n 's/.*"frames":\([0-9]*\).*/\1/p' "$1"; }

echo "== complete recording"
run record -n 30 --depth --points -o full.mcap --json >full.json
cat full.json
# The virtual camera's headers say 40.0 and 38.4 degrees; its sensor identifies as IC version 3
# in register 0x01.
node "$reader" complete full.mcap 30 --depth 1.25 --points --temperatures 400 384 --register 0x01=0x03

echo "== ended by SIGINT"
"$tarvo" $opts record --depth -o int.mcap --json >int.json &
pid=$!
wait_for_chunks int.mcap
kill -INT $pid
wait $pid
cat int.json
node "$reader" complete int.mcap "$(frames_of int.json)" --depth 1.25

echo "== ended by SIGTERM"
"$tarvo" $opts record -o term.mcap --json >term.json &
pid=$!
wait_for_chunks term.mcap
kill -TERM $pid
wait $pid
node "$reader" complete term.mcap "$(frames_of term.json)"

echo "== killed"
"$tarvo" $opts record --depth -o killed.mcap >/dev/null &
pid=$!
wait_for_chunks killed.mcap
kill -KILL $pid
status=0
wait $pid || status=$?
[ $status -eq 137 ] || { echo "FAIL: the recorder ended with $status, not by kill -9"; exit 1; }
node "$reader" truncated killed.mcap

echo "== bad output"
if run record -n 1 -o "$work/no/such/dir/x.mcap" 2>err.txt; then
    echo "FAIL: a recording into a missing folder succeeded"
    exit 1
fi
grep -q "^tarvo: cannot create" err.txt || { cat err.txt; echo "FAIL: no clear error"; exit 1; }
[ -z "$(ls "$work" | grep -v -e '\.mcap$' -e '\.json$' -e '^prefix$' -e '^tarvo.log$' -e '^err.txt$')" ] ||
    { ls "$work"; echo "FAIL: files left behind"; exit 1; }
echo "all recordings read back"
