#!/bin/sh
# A short session with the user-administration command on a temporary
# registry: add two users, verify a key bare and as a Bearer header, rotate
# it, list the users and remove one.
#
# Run from anywhere in the repository:  sh examples/cli_session.sh
# It builds the module first if no build is there. Set VARDUN_USERS to run
# another command instead, e.g. VARDUN_USERS=vardun-mcp-users.
set -eu

cd "$(dirname "$0")/.."
: "${PYTHON:=/usr/bin/python3}"
export PYTHONPATH="${PYTHONPATH:-build/release/lib}"
users=${VARDUN_USERS:-"$PYTHON -P -m vardun.mcp.users"}

if [ -z "${VARDUN_USERS:-}" ] && ! "$PYTHON" -P -c 'import vardun.mcp.user_store' 2>/dev/null; then
    echo "Building the module first (make build)..."
    log=$(mktemp)
    make -s build >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
    rm -f "$log"
fi

base=$(mktemp -d "${TMPDIR:-/tmp}/vardun-cli-XXXXXX")
trap 'rm -rf "$base"' EXIT INT TERM

# Prints a command as typed (quoting arguments with spaces), without the
# --base-dir option that every command here gets.
show() {
    line='$ python3 -m vardun.mcp.users'
    for arg in "$@"; do
        case $arg in
            *" "*) line="$line '$arg'" ;;
            *) line="$line $arg" ;;
        esac
    done
    printf '\n%s\n' "$line"
}

# Shows a command, then runs it on the temporary registry. Its exit status is
# printed rather than ending the session, since a rejected key is expected.
run() {
    show "$@"
    status=0
    $users --base-dir "$base" "$@" || status=$?
    [ "$status" -eq 0 ] || printf '[exit status %s]\n' "$status"
}

# Reads one field of the JSON on stdin.
field() {
    "$PYTHON" -c 'import json, sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1"
}

echo "Temporary registry: $base (every command below runs with --base-dir $base)"

# Alice's key is kept from the JSON output for the verification below.
show add "Alice (frontend)" --json
added=$($users --base-dir "$base" add "Alice (frontend)" --json 2>"$base/.notice")
printf '%s\n' "$added"
cat "$base/.notice" >&2
alice=$(printf '%s' "$added" | field user_id)
key=$(printf '%s' "$added" | field api_key)

run add "Bob (ops)"

run verify "$key"
run verify "Bearer $key" --json
run verify "vardun-mcp-not-a-real-key"

run rotate "$alice"
run verify "$key"

run list
run remove "$alice"
run remove "$alice"
run list --json
