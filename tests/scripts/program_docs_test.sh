#!/usr/bin/env bash
# A program's manual page and its bash completion name exactly the options its --help
# prints: none missing, none that the program no longer has. groff formats the page without
# a warning.
# Usage: program_docs_test.sh PROGRAM MAN_PAGE COMPLETION_FILE
set -euo pipefail
program=$1 page=$2 completion=$3
name=$(basename "$program")

# --help: an option line starts at the left margin with its option column ("-d<dir>, --dir=<dir>"),
# descriptions and wrapped lines are indented.
help_options() {
    QT_QPA_PLATFORM=offscreen "$program" --help | grep -E '^-' | sed -E 's/  .*//' |
        tr ',' '\n' | sed -E 's/^ *//; s/^(--[A-Za-z_]+).*/\1/; s/^(-[A-Za-z]).*/\1/'
}

# The page: the line after each .TP of the OPTIONS section names the option(s) it describes.
page_options() {
    awk '/^\.SH / { in_options = ($2 == "OPTIONS") } in_options && tagged { print } { tagged = in_options && /^\.TP/ }' "$page" |
        tr -d '\\' | tr ' ",' '\n' | grep -E '^-' | sed -E 's/^(--[A-Za-z_]+).*/\1/' |
        grep -E '^(--[A-Za-z_]+|-[A-Za-z])$'
}

completion_options() {
    # shellcheck source=/dev/null
    (. "$completion" && _qk_relay_options "$name") | tr ' ' '\n' | sed 's/=$//' | grep .
}

expected=$(help_options | sort -u)
[ -n "$expected" ] || { echo "$name --help printed no options" >&2; exit 1; }
status=0
# compare WHAT OPTIONS: OPTIONS (one a line) are those of --help.
compare() {
    local found
    found=$(sort -u <<<"$2")
    if [ "$found" != "$expected" ]; then
        echo "$1 and $name --help differ (< only in --help, > only in $1):" >&2
        diff <(echo "$expected") <(echo "$found") | grep '^[<>]' >&2 || true
        status=1
    fi
}
compare "$(basename "$page")" "$(page_options)"
compare "the bash completion" "$(completion_options)"

warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "groff warns about $(basename "$page"):" >&2
    echo "$warnings" >&2
    status=1
fi
exit $status
