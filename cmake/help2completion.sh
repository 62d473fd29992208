#!/bin/sh
# Writes a program's bash completion from its own --help: the options its
# option lines and usage lines name, and the commands its usage lines and
# "Commands:" list name. An option's value placeholder says what completes
# after it: PORT the serial ports the automatic scan would try, a list such
# as "128k|256k" its words, anything else file names.
# Usage: help2completion.sh PROGRAM-PATH NAME OUTPUT
set -eu
program=$1 name=$2 output=$3

help=$("$program" --help 2>/dev/null) || true
case $help in
Usage:*) ;;
*) echo "help2completion.sh: $program --help printed no usage" >&2; exit 1 ;;
esac

# One line per option ("OPT name kind", kind: flag, port, value or list:a|b)
# and per command ("CMD name").
words=$(printf '%s\n' "$help" | awk -v name="$name" '
function kindOf(value) {
    if (value == "")
        return "flag"
    if (value ~ /PORT/)
        return "port"
    if (value ~ /\|/)
        return "list:" value
    return "value"
}
# "--port=PORT" offers "--port=", "-o FILE" offers "-o", "--trickle[=MS]" offers "--trickle".
function option(opt, value,    bare, kind) {
    bare = opt
    sub(/\[.*/, "", bare)
    # A value with optional parts of its own: "--short-reply=N[:K]".
    if (bare ~ /=/) {
        value = bare
        sub(/^[^=]*=/, "", value)
        sub(/=.*/, "", bare)
    }
    if (bare !~ /^--?[A-Za-z0-9?]/ || (bare in seen))
        return
    seen[bare] = 1
    kind = kindOf(value)
    print "OPT " bare " " kind
    lastKind = kind
}
function command(word) {
    if (word ~ /^[a-z][a-z0-9-]*$/ && !(("cmd " word) in seen)) {
        seen["cmd " word] = 1
        print "CMD " word
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
            option(w[i], "")
    next
}
{ usage = 0 }
/^[^ ]/ { section = $0; next }
# An option line: the options up to the first run of two spaces; a short
# option takes the value its long form names ("-p, --port=PORT").
/^ +-/ && match($0, /[^ ]/) <= 7 {
    opt = $0
    sub(/^ +/, "", opt)
    sub(/  .*/, "", opt)
    n = split(opt, parts, ", *")
    value = ""
    for (i = 1; i <= n; i++)
        if (parts[i] ~ /^--[^[]*=/) {
            value = parts[i]
            sub(/^[^=]*=/, "", value)
        } else if (parts[i] ~ / /) {
            value = parts[i]
            sub(/^[^ ]* /, "", value)
            sub(/ .*/, "", parts[i])
        }
    for (i = 1; i <= n; i++)
        option(parts[i], parts[i] ~ /^--/ ? "" : value)
    next
}
section ~ /^Commands/ && /^ +[a-z]/ && match($0, /[^ ]/) <= 5 {
    n = split($0, w, " ")
    command(w[1])
    for (i = 2; i <= n && w[i] !~ /^[A-Z][a-z]/; i++)
        if (w[i] ~ /^-/)
            option(w[i], (i < n && w[i + 1] ~ /^[A-Z][A-Z-]*$/) ? w[i + 1] : "")
}')
options=$(printf '%s\n' "$words" | awk '$1 == "OPT" { o = o " " $2 ($3 != "flag" && $2 ~ /^--/ ? "=" : "") } END { print substr(o, 2) }')
commands=$(printf '%s\n' "$words" | awk '$1 == "CMD" { c = c " " $2 } END { print substr(c, 2) }')
kinds=$(printf '%s\n' "$words" | awk '$1 == "OPT" && $3 != "flag" { printf "        \x27%s\x27) echo \x27%s\x27 ;;\n", $2, $3 }')
[ -n "$options" ] || { echo "help2completion.sh: no options in $program --help" >&2; exit 1; }

func=_$(printf '%s' "$name" | tr -c 'A-Za-z0-9\n' _)
cat >"$output" <<EOF
# bash completion for $name, made from its --help by tarvo's build.

# What completes after an option: flag, port, list:WORD|WORD, or value
# (file names).
${func}_kind()
{
    case \$1 in
${kinds}
        *) echo flag ;;
    esac
}

# The serial ports the automatic scan tries: on Linux every tty with a
# device behind it but the empty legacy UART slots, on macOS /dev/cu.*.
${func}_ports()
{
    local root=\${_tarvo_tty_root:-/sys/class/tty} dev=\${_tarvo_dev_dir:-/dev} d type
    if [[ -d \$root ]]; then
        for d in "\$root"/*; do
            [[ -e \$d/device ]] || continue
            type=
            [[ -r \$d/type ]] && read -r type <"\$d/type"
            [[ \$type == 0 ]] && continue
            echo "\$dev/\${d##*/}"
        done
    else
        for d in "\$dev"/cu.*; do
            [[ -e \$d ]] && echo "\$d"
        done
    fi
}

# Fills COMPREPLY with the values of option \$1 that start with \$2.
${func}_values()
{
    local kind
    kind=\$(${func}_kind "\$1")
    case \$kind in
    port) COMPREPLY=(\$(compgen -W "\$(${func}_ports)" -- "\$2")) ;;
    list:*) kind=\${kind#list:}; COMPREPLY=(\$(compgen -W "\${kind//|/ }" -- "\$2")) ;;
    esac
    # Nothing found (or a file): bash's own file-name completion takes over.
    return 0
}

$func()
{
    local cur=\${COMP_WORDS[COMP_CWORD]} prev= i word
    (( COMP_CWORD > 0 )) && prev=\${COMP_WORDS[COMP_CWORD-1]}
    # After "--" the words belong to another command.
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ \${COMP_WORDS[i]} == -- ]] && return 0
    done
    COMPREPLY=()

    # A value: "--opt=VALUE" split at "=" by bash or not, or after "-p".
    if [[ \$cur == = ]] && (( COMP_CWORD > 1 )); then
        ${func}_values "\$prev" ""
        return 0
    fi
    if [[ \$prev == = ]] && (( COMP_CWORD > 2 )); then
        ${func}_values "\${COMP_WORDS[COMP_CWORD-2]}" "\$cur"
        return 0
    fi
    if [[ \$cur == --*=* ]]; then
        ${func}_values "\${cur%%=*}" "\${cur#*=}"
        COMPREPLY=("\${COMPREPLY[@]/#/\${cur%%=*}=}")
        return 0
    fi
    if [[ \$prev == -* && \$(${func}_kind "\$prev") != flag ]]; then
        ${func}_values "\$prev" "\$cur"
        return 0
    fi

    if [[ \$cur == -* ]]; then
        COMPREPLY=(\$(compgen -W '$options' -- "\$cur"))
        [[ \${#COMPREPLY[@]} -eq 1 && \${COMPREPLY[0]} == *= ]] && compopt -o nospace
        return 0
    fi
    # A command, unless one came before: options and their values do not count.
    local commands='$commands'
    [[ -n \$commands ]] || return 0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=\${COMP_WORDS[i]}
        if [[ \$word == = ]]; then
            ((i++))
        elif [[ \$word == -* ]]; then
            [[ \$word != *=* && \${COMP_WORDS[i+1]} != = && \$(${func}_kind "\$word") != flag ]] && ((i++))
        else
            return 0
        fi
    done
    COMPREPLY=(\$(compgen -W "\$commands" -- "\$cur"))
    return 0
}
complete -o default -F $func $name
EOF
