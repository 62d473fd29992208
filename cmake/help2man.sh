#!/bin/sh
# Writes a program's manual page from its own --help, so the two cannot
# drift apart. The help text is kept line for line (its columns are laid out
# by hand); its usage lines become the synopsis, its unindented "Heading:"
# lines become subsections.
# Usage: help2man.sh PROGRAM-PATH NAME VERSION SUMMARY SEE-ALSO OUTPUT
set -eu
program=$1 name=$2 version=$3 summary=$4 see_also=$5 output=$6

# tarvo's -h exits with 1, so only the text counts.
help=$("$program" --help 2>/dev/null) || true
case $help in
Usage:*) ;;
*) echo "help2man.sh: $program --help printed no usage" >&2; exit 1 ;;
esac

printf '%s\n' "$help" | awk -v name="$name" -v version="$version" -v summary="$summary" \
    -v see_also="$see_also" '
function esc(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.'\'']/)
        s = "\\&" s
    return s
}
BEGIN {
    upper = toupper(name)
    print ".TH " esc(upper) " 1 \"\" \"tarvo " version "\" \"User Commands\""
    print ".SH NAME"
    print esc(name) " \\- " esc(summary)
    print ".SH SYNOPSIS"
    print ".nf"
    state = "usage"
}
# The usage lines: the first, and those indented under it that name the program.
state == "usage" {
    line = $0
    if (NR == 1)
        sub(/^Usage: */, "", line)
    else if (line ~ "^ +" name "( |$)")
        sub(/^ +/, "", line)
    else {
        print ".fi"
        print ".SH DESCRIPTION"
        print ".nf"
        state = "text"
    }
    if (state == "usage") {
        rest = substr(line, length(name) + 1)
        print "\\fB" esc(name) "\\fR" esc(rest)
        next
    }
}
# Blank lines before a heading belong to the heading.
/^$/ { blanks++; next }
/^[A-Z][^ ].*:$/ {
    print ".fi"
    print ".SS " esc(substr($0, 1, length($0) - 1))
    print ".nf"
    blanks = 0
    started = 1
    next
}
{
    if (started)
        for (; blanks > 0; blanks--)
            print ""
    blanks = 0
    started = 1
    print esc($0)
}
END {
    print ".fi"
    if (see_also != "") {
        print ".SH SEE ALSO"
        n = split(see_also, others, " ")
        for (i = 1; i <= n; i++)
            print ".BR " esc(others[i]) " (1)" (i < n ? "," : "")
    }
    print ".SH COPYRIGHT"
    print "MIT licence: see /usr/share/doc/tarvo/copyright or LICENSE."
}' >"$output"
