#!/bin/sh
# Prints this machine's identifier. wardex keys the password stored in wardex.json on
# these bytes, so they must be the same on every run: a changed identifier makes the
# stored password unreadable (re-enter it in plain text and it is protected again).
# wardex runs this script as "sudo -n ./scripts/get_id.sh"; see docs/secrets.md.
set -eu
for file in /etc/machine-id /var/lib/dbus/machine-id; do
    if [ -s "$file" ]; then
        exec cat "$file"
    fi
done
echo "get_id.sh: no machine identifier found" >&2
exit 1
