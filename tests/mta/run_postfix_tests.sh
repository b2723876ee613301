#!/usr/bin/env bash
# lumaro-milter end to end through a real Postfix. Installing Postfix replaces any
# other MTA on the machine, so this runs only when asked: LUMARO_TEST_MTA=1, or
# CI=true as CI sets it. Otherwise it says so in one line and exits 77 (skipped).
# Arguments: --milter PATH --host PATH --module PATH (lumaro-milter, lumaro-host,
# the module). Needs root: a throwaway Postfix instance runs as the postfix user.
set -euo pipefail
if [ "${CI:-}" != "true" ] && [ "${LUMARO_TEST_MTA:-}" != "1" ]; then
  echo "skipped: the Postfix tests of lumaro-milter install postfix; run them with LUMARO_TEST_MTA=1 ctest -L mta"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../scripts/setup.sh" mta
exec python3 "$here/postfix_end_to_end.py" "$@"
