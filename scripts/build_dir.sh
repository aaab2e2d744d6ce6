# Sourced by the scripts that run the programs of a build directory. Both functions end the
# script with exit code 2, their message beginning "WHO: ", when the build is not there:
# `korvel_build_dir WHO DIR` sets $build to DIR as an absolute path; `korvel_need_programs WHO
# HINT PROGRAM...` makes sure that each PROGRAM is an executable file.

korvel_build_dir() {  # korvel_build_dir WHO DIR
    build=$(cd "$2" 2>/dev/null && pwd) || { echo "$1: no build directory $2" >&2; exit 2; }
}

korvel_need_programs() {  # korvel_need_programs WHO HINT PROGRAM...: "WHO: PROGRAM is missingHINT"
    local who=$1 hint=$2 program
    shift 2
    for program in "$@"; do
        if [ ! -x "$program" ]; then
            echo "$who: $program is missing$hint" >&2
            exit 2
        fi
    done
}
