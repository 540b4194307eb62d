#!/bin/sh
# A short session with the user-administration command on a temporary
# registry: add two users, verify a key (on standard input, bare and as a
# Bearer header), rotate it, list the users, check the registry, remove one
# while keeping its credential directory, and let check --fix clear that.
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
# --base-dir option that every command here gets; $piped, when set, is shown
# as what the command reads on standard input.
piped=
show() {
    line='$ python3 -m vardun.mcp.users'
    [ -z "$piped" ] || line="\$ printf '%s\\n' '$piped' | ${line#'$ '}"
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

# Like run, with the first argument on the command's standard input, the way
# a key is best given (an argument shows in the process list).
run_stdin() {
    piped=$1
    shift
    show "$@"
    status=0
    printf '%s\n' "$piped" | $users --base-dir "$base" "$@" || status=$?
    piped=
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

run_stdin "$key" verify -
run_stdin "Bearer $key" verify - --json
# A key nobody holds: exit status 1.
run_stdin "vardun-mcp-not-a-real-key" verify -

run rotate "$alice"
run_stdin "$key" verify -

run list
run check
run remove "$alice" --keep-credentials
run check
run check --fix
run check
run remove "$alice"
run list --json
