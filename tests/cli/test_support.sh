# The harness of the cordane shell tests, sourced by each: a scratch directory removed on exit,
# check to count results, run to capture a command's exit code and output. The sourcing script
# sets $cordane first and ends with finish.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
skipped=0
# Set by the Windows build, whose program runs under Wine.
under_wine=${KORVEL_CLI_UNDER_WINE:-0}

check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what" >&2
    fi
}

run() {  # run ARGS...: sets $rc, $out, $err
    "$cordane" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}

posix_only() {  # posix_only WHAT: true on a POSIX system; under Wine, WHAT is said to be skipped
    [ "$under_wine" = 1 ] || return 0
    echo "skipped under Wine: $1 (a POSIX system's)"
    skipped=$((skipped + 1))
    return 1
}

finish() {  # the summary line and the script's exit code
    echo "$passed passed, $failed failed$([ "$skipped" -gt 0 ] && echo ", $skipped parts skipped")"
    test "$failed" -eq 0
    exit
}
