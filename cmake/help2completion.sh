#!/bin/sh
# Writes a program's bash completion from its own --help: the options its
# option lines and usage lines name, and the commands its usage lines and
# "Commands:" list name.
# Usage: help2completion.sh PROGRAM-PATH NAME OUTPUT
set -eu
program=$1 name=$2 output=$3

help=$("$program" --help 2>/dev/null) || true
case $help in
Usage:*) ;;
*) echo "help2completion.sh: $program --help printed no usage" >&2; exit 1 ;;
esac

words=$(printf '%s\n' "$help" | awk -v name="$name" '
function option(opt) {
    # "--port=PORT" offers "--port=", "-o FILE" offers "-o", "--trickle[=MS]" offers "--trickle".
    sub(/ .*/, "", opt)
    sub(/\[.*/, "", opt)
    if (opt ~ /=/)
        sub(/=.*/, "=", opt)
    if (opt ~ /^--?[A-Za-z0-9?]/ && !(opt in seen)) {
        seen[opt] = 1
        options = options " " opt
    }
}
function command(word) {
    if (word ~ /^[a-z][a-z0-9-]*$/ && !(("cmd " word) in seen)) {
        seen["cmd " word] = 1
        commands = commands " " word
    }
}
/^Usage:/ || (usage && $0 ~ "^ +" name " ") {
    usage = 1
    line = $0
    sub(/^Usage:/, "", line)
    sub("^ *" name " *", "", line)
    n = split(line, w, " ")
    if (n > 0)
        command(w[1])
    for (i = 1; i <= n; i++)
        if (w[i] ~ /^-/)
            option(w[i])
    next
}
{ usage = 0 }
/^[^ ]/ { section = $0; next }
# An option line: the options up to the first run of two spaces.
/^ +-/ && match($0, /[^ ]/) <= 7 {
    opt = $0
    sub(/^ +/, "", opt)
    sub(/  .*/, "", opt)
    n = split(opt, parts, ", *")
    for (i = 1; i <= n; i++)
        option(parts[i])
    next
}
section ~ /^Commands/ && /^ +[a-z]/ && match($0, /[^ ]/) <= 5 {
    n = split($0, w, " ")
    command(w[1])
    for (i = 2; i <= n && w[i] !~ /^[A-Z][a-z]/; i++)
        if (w[i] ~ /^-/)
            option(w[i])
}
END { print substr(options, 2); print substr(commands, 2) }')
options=$(printf '%s\n' "$words" | sed -n 1p)
commands=$(printf '%s\n' "$words" | sed -n 2p)
[ -n "$options" ] || { echo "help2completion.sh: no options in $program --help" >&2; exit 1; }

func=_$(printf '%s' "$name" | tr -c 'A-Za-z0-9\n' _)
cat >"$output" <<EOF
# bash completion for $name, made from its --help by tarvo's build.
$func()
{
    local cur=\${COMP_WORDS[COMP_CWORD]} i
    # After "--" the words belong to another command.
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ \${COMP_WORDS[i]} == -- ]] && return 0
    done
    if [[ \$cur == -* ]]; then
        COMPREPLY=(\$(compgen -W '$options' -- "\$cur"))
        [[ \${#COMPREPLY[@]} -eq 1 && \${COMPREPLY[0]} == *= ]] && compopt -o nospace
        return 0
    fi
    local commands='$commands'
    if [[ -n \$commands && \$COMP_CWORD -eq 1 ]]; then
        COMPREPLY=(\$(compgen -W "\$commands" -- "\$cur"))
    fi
    return 0
}
complete -o default -F $func $name
EOF
