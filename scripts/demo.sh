#!/usr/bin/env bash
# Builds the module and the host simulator, runs the module over a scratch copy of
# the example server (the shipped files are never modified), then prints the
# activity log and a before/after of a converted message.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh native

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target lumaro lumaro-host >/dev/null

scratch=$(mktemp -d /tmp/lumaro-demo.XXXXXX)
cp -r examples/server "$scratch/server"
# The server's ANSI code page decides the charset of decoded headers; a Czech
# Windows server has 1250.
export LUMARO_CODEPAGE=${LUMARO_CODEPAGE:-1250}

echo "=== lumaro-host queue over a copy of examples/server ($scratch/server)"
(cd "$scratch/server" && "$root/build/demo/tools/lumaro-host" queue --base "$scratch/server" --host mail.example.cz)

echo
echo "=== activity log ($scratch/server/lumaro.log)"
cat "$scratch/server/lumaro.log" 2>/dev/null || echo "(empty: no message needed a change)"

shown=0
for after in "$scratch"/server/QUEUE/*.QDF; do
  before="examples/server/QUEUE/$(basename "$after")"
  if ! cmp -s "$before" "$after"; then
    echo
    echo "=== before: $before"
    tr -d '\r' < "$before"
    echo
    echo "=== after (converted into the configured charset, shown here as UTF-8):"
    tr -d '\r' < "$after" | iconv -f ISO-8859-2 -t UTF-8 2>/dev/null || tr -d '\r' < "$after"
    shown=1
    break
  fi
done
[ "$shown" = 1 ] || echo "(no message was changed)"
echo
echo "Scratch copy kept in $scratch"
