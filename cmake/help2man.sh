#!/bin/sh
# Writes a program's manual page from its own --help and its section file,
# so the options cannot drift from the program. From --help: the synopsis
# (its usage lines), the start of DESCRIPTION (the text after them) and
# OPTIONS (the rest, line for line: its columns are laid out by hand; its
# unindented "Heading:" lines become subsections; an "Examples:" one opens
# EXAMPLES instead). From the section file: everything else.
#
# A section file (man.sections beside the program's main.cpp) is plain text:
#   = HEADING      starts a section (DESCRIPTION, EXIT STATUS, FILES, ...)
#   # ...          a comment, left out
#   text           filled into paragraphs; a blank line ends a paragraph
#   - text         a bullet item; its further lines are indented two spaces
#   : TERM         a tagged paragraph: TERM in bold, the lines after it its text
#       text       indented four spaces: shown as it is (commands, examples)
# Its SEE ALSO, if any, comes before the list of the other programs.
#
# Usage: help2man.sh PROGRAM-PATH NAME VERSION SUMMARY SEE-ALSO SECTIONS OUTPUT
set -eu
program=$1 name=$2 version=$3 summary=$4 see_also=$5 sections=$6 output=$7

# tarvo's -h exits with 1, so only the text counts.
help=$("$program" --help 2>/dev/null) || true
case $help in
Usage:*) ;;
*) echo "help2man.sh: $program --help printed no usage" >&2; exit 1 ;;
esac
if [ ! -f "$sections" ]; then
    # The page is still made, so the build goes on; scripts/docs-check fails on it.
    echo "help2man.sh: WARNING: $sections is missing: the manual page of $name has" \
        "no DESCRIPTION, EXIT STATUS, FILES or EXAMPLES" >&2
    sections=/dev/null
fi

helpfile=$(mktemp)
trap 'rm -f "$helpfile"' EXIT
printf '%s\n' "$help" >"$helpfile"

awk -v name="$name" -v version="$version" -v summary="$summary" -v see_also="$see_also" \
    -v sectionsFile="$sections" '
function esc(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.'\'']/)
        s = "\\&" s
    return s
}
# --- The section file: its sections in order, each a list of lines.
FILENAME == sectionsFile {
    if ($0 ~ /^#/)
        next
    if ($0 ~ /^= /) {
        title = substr($0, 3)
        sub(/ +$/, "", title)
        order[++nsections] = title
        count[title] = 0
        next
    }
    if (nsections > 0)
        text[title, ++count[title]] = $0
    next
}
# --- The help text: usage lines, the text before the first heading, and
# its subsections.
FNR == 1 {
    line = $0
    sub(/^Usage: */, "", line)
    usage[++nusage] = line
    inUsage = 1
    next
}
inUsage && $0 ~ "^ +" name "( |$)" {
    line = $0
    sub(/^ +/, "", line)
    usage[++nusage] = line
    next
}
{ inUsage = 0 }
/^[A-Z][^ ].*:$/ {
    heading[++nheadings] = substr($0, 1, length($0) - 1)
    lines[nheadings] = 0
    next
}
{
    if (nheadings == 0)
        lead[++nlead] = $0
    else
        body[nheadings, ++lines[nheadings]] = $0
}
# Lines kept as they are, without the blank lines at either end.
function verbatim(arr, n, key,    first, last, i, v) {
    first = 1
    last = n
    while (first <= n && value(arr, key, first) == "")
        first++
    while (last >= first && value(arr, key, last) == "")
        last--
    if (first > last)
        return
    print ".nf"
    for (i = first; i <= last; i++)
        print esc(value(arr, key, i))
    print ".fi"
}
function value(arr, key, i) {
    return key == "" ? lead[i] : body[key, i]
}
# A section of the section file, from plain text to roff.
function render(title,    i, line, literal, pp) {
    literal = 0
    pp = 0
    for (i = 1; i <= count[title]; i++) {
        line = text[title, i]
        if (line ~ /^    /) {
            if (!literal) {
                if (pp)
                    print ".PP"
                print ".RS 4"
                print ".nf"
                literal = 1
                pp = 0
            }
            print esc(substr(line, 5))
            continue
        }
        if (literal) {
            print ".fi"
            print ".RE"
            literal = 0
        }
        if (line ~ /^ *$/) {
            pp = 1
        } else if (line ~ /^- /) {
            print ".IP \\(bu 2"
            print esc(substr(line, 3))
            pp = 0
        } else if (line ~ /^: /) {
            print ".TP"
            print "\\fB" esc(substr(line, 3)) "\\fR"
            pp = 0
        } else {
            if (pp)
                print ".PP"
            sub(/^ +/, "", line)
            print esc(line)
            pp = 0
        }
    }
    if (literal) {
        print ".fi"
        print ".RE"
    }
}
END {
    print ".TH " esc(toupper(name)) " 1 \"\" \"tarvo " version "\" \"User Commands\""
    print ".SH NAME"
    print esc(name) " \\- " esc(summary)
    print ".SH SYNOPSIS"
    print ".nf"
    for (i = 1; i <= nusage; i++)
        print "\\fB" esc(name) "\\fR" esc(substr(usage[i], length(name) + 1))
    print ".fi"

    print ".SH DESCRIPTION"
    verbatim(lead, nlead, "")
    if ("DESCRIPTION" in count) {
        print ".PP"
        render("DESCRIPTION")
    }

    print ".SH OPTIONS"
    for (h = 1; h <= nheadings; h++) {
        if (heading[h] == "Examples" && ("EXAMPLES" in count)) {
            examples = h
            continue
        }
        print ".SS " esc(heading[h])
        verbatim(body, lines[h], h)
    }

    for (s = 1; s <= nsections; s++) {
        title = order[s]
        if (title == "DESCRIPTION" || title == "SEE ALSO")
            continue
        print ".SH " esc(title)
        if (title == "EXAMPLES" && examples) {
            verbatim(body, lines[examples], examples)
            print ".PP"
        }
        render(title)
    }

    print ".SH SEE ALSO"
    if ("SEE ALSO" in count) {
        render("SEE ALSO")
        print ".PP"
    }
    n = split(see_also, others, " ")
    for (i = 1; i <= n; i++)
        print ".BR " esc(others[i]) " (1)" (i < n ? "," : "")
    print ".SH COPYRIGHT"
    print "MIT licence: see /usr/share/doc/tarvo/copyright or LICENSE."
}' "$sections" "$helpfile" >"$output"
