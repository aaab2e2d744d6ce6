# The harness of the cordane shell tests, sourced by each: a scratch directory removed on exit,
# check to count results, run to capture a command's exit code and output. The sourcing script
# sets $cordane first and ends with finish.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

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

finish() {  # the summary line and the script's exit code
    echo "$passed passed, $failed failed"
    test "$failed" -eq 0
    exit
}
