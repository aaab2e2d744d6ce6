#!/bin/sh
# Writes a man page made from a program's own --help, so that the page and the help never drift.
#
#   make_manpage.sh PROGRAM NAME VERSION SUMMARY [SEE-ALSO] > NAME.1
#
# The usage lines become the synopsis and the rest of the text the description. When the help
# lists commands (lines "  NAME  what it does" under "Commands:"), every command's own
# "PROGRAM COMMAND --help" follows in a section of its own. Indented lines (option tables,
# examples) are kept as they stand; other lines are filled by the formatter.
set -eu
program=$1 name=$2 version=$3 summary=$4 seealso=${5:-}

# Help text on standard input, roff on standard output. Skips the usage paragraph when $1 is
# "skip-usage".
to_roff() {
    awk -v mode="$1" '
        function esc(s) {
            gsub(/\\/, "\\e", s)
            gsub(/-/, "\\-", s)
            if (s ~ /^[.'"'"']/) s = "\\&" s
            return s
        }
        BEGIN { verbatim = 0; pending = 0; usage = (mode == "skip-usage") }
        usage && /^$/ { usage = 0; next }
        usage { next }
        /^$/ {
            if (verbatim) { print ".fi"; verbatim = 0 }
            pending = 1
            next
        }
        {
            if (pending) { print ".PP"; pending = 0 }
            if ($0 ~ /^ /) {
                if (!verbatim) { print ".nf"; verbatim = 1 }
            } else if (verbatim) {
                print ".fi"; verbatim = 0
            }
            print esc($0)
        }
        END { if (verbatim) print ".fi" }
    '
}

help=$("$program" --help)
upper=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')

printf '.TH %s 1 "" "%s %s" "User Commands"\n' "$upper" "$name" "$version"
printf '.nh\n.ad l\n'  # no hyphens in option names, no stretched lines
printf '.SH NAME\n%s \\- %s\n' "$name" "$summary"
printf '.SH SYNOPSIS\n.nf\n'
# The usage paragraph: every line up to the first blank one, without the word "usage:".
printf '%s\n' "$help" | awk '/^$/ { exit } { sub(/^usage: /, ""); sub(/^       /, ""); print }' |
    to_roff plain
printf '.fi\n.SH DESCRIPTION\n'
printf '%s\n' "$help" | to_roff skip-usage

commands=$(printf '%s\n' "$help" |
    awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on && /^  [a-z]/ { print $1 }')
if [ -n "$commands" ]; then
    printf '.SH COMMANDS\n'
    for command in $commands; do
        printf '.SS "%s %s"\n' "$name" "$command"
        "$program" "$command" --help | to_roff plain
    done
fi
if [ -n "$seealso" ]; then
    printf '.SH SEE ALSO\n%s\n' "$seealso"
fi
