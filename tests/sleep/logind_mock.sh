#!/bin/sh
# Runs the logind inhibitor's test against python3-dbusmock's logind
# template, on a private bus that stands in for the system bus. Where the
# tools are missing the test is skipped (status 77), saying which.
test_program=$1
if ! command -v dbus-run-session >/dev/null 2>&1; then
  echo "skipped: dbus-run-session is missing (Debian package dbus)"
  exit 77
fi
python=""
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import dbusmock' >/dev/null 2>&1; then python=$candidate; break; fi
done
if [ -z "$python" ]; then
  echo "skipped: python3 cannot import dbusmock (Debian package python3-dbusmock)"
  exit 77
fi
exec dbus-run-session -- sh -c '
  DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
  export DBUS_SYSTEM_BUS_ADDRESS
  "$1" -m dbusmock --system --template logind >/dev/null &
  mock=$!
  "$2"
  status=$?
  kill "$mock"
  exit "$status"' sh "$python" "$test_program"
