#!/usr/bin/env bash
# setup.sh started by a user who has neither root nor sudo rights says so in one line and
# fails, instead of leaving the user with sudo's or apt-get's own errors.
# Usage: setup_without_root_test.sh PATH_TO_SETUP_SH
set -u
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root to run setup.sh as another user"
    exit 0
fi
# The user cannot read a checkout under /root: give it a copy it can read, so that a
# refusal to read the script is never taken for the script's own refusal.
copy_dir=$(mktemp -d)
trap 'rm -rf "$copy_dir"' EXIT
chmod 755 "$copy_dir"
install -m 644 "$1" "$copy_dir/setup.sh"
out=$(cd / && setpriv --reuid=65534 --regid=65534 --clear-groups \
    bash "$copy_dir/setup.sh" qk-relay-no-such-package </dev/null 2>&1)
rc=$?
lines=$(printf '%s\n' "$out" | wc -l)
if [ "$rc" -eq 0 ] || [ "$lines" -ne 1 ] || ! grep -q "needs root or sudo" <<<"$out"; then
    echo "expected one line about root or sudo and a failure, got (exit $rc):"
    echo "$out"
    exit 1
fi
