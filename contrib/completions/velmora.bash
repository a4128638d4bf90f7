# bash completion for velmora: its commands, their options, and the keys of the running
# sessions (read from `velmora ls --json`).

# The key of every session, one a line. A key is the first member of its row; the rare key
# with JSON escapes other than \" \\ \/ (control characters) is left out.
_velmora_keys() {
    "$1" ls --json 2>/dev/null | awk '
        index($0, "{\"key\":\"") != 1 { next }
        {
            key = ""; ok = 1
            for (i = 9; i <= length($0); i++) {
                c = substr($0, i, 1)
                if (c == "\"") break
                if (c == "\\") {
                    c = substr($0, ++i, 1)
                    if (c != "\"" && c != "\\" && c != "/") { ok = 0; break }
                }
                key = key c
            }
            if (ok) print key
        }'
}

_velmora_add_keys() {  # program, word being completed
    local key
    while IFS= read -r key; do
        [[ $key == "$2"* ]] && COMPREPLY+=("$(printf '%q' "$key")")
    done < <(_velmora_keys "$1")
}

_velmora() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local program=${COMP_WORDS[0]}
    local commands="attach new ls kill send shutdown version decode help"
    local attach_options="-e -E --no-redraw --no-history --help"
    COMPREPLY=()

    # The command, and what stands between it and the word being completed: operands (words
    # that are not options), whether a "--" has ended the options, and where the command line
    # of `new` starts (after a "--" that follows its key).
    local command="" i=1 word operands=0 dashdash=0 line_start=0
    if [[ ${COMP_WORDS[1]} == -* && $COMP_CWORD -gt 1 ]]; then
        command=attach  # "velmora -e ^a work": attach options without the command name
    else
        if [[ $COMP_CWORD -eq 1 ]]; then
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-x --existing $attach_options --version" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            fi
            return
        fi
        command=${COMP_WORDS[1]}
        i=2
    fi
    for ((; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $line_start -ne 0 ]]; then
            continue
        elif [[ $word == -- && $operands -gt 0 ]]; then
            line_start=$((i + 1))
        elif [[ $dashdash -eq 0 && $word == -- ]]; then
            dashdash=$i
        elif [[ $dashdash -eq 0 && $word == -e ]]; then
            ((i++))
        elif [[ $dashdash -ne 0 || $word != -* ]]; then
            ((operands++))
        fi
    done
    [[ $prev == -e && $dashdash -eq 0 && $line_start -eq 0 ]] && return  # a key such as ^a

    local options=""
    case $command in
        attach | a) options="-x --existing $attach_options" ;;
        new) options="-d --detached $attach_options --" ;;
        ls | list) options="--json --help" ;;
        send) options="-n -- --help" ;;
        *) options="--help" ;;
    esac
    # Options may follow the key, except in send, whose words after the key are text.
    if [[ $dashdash -eq 0 && $line_start -eq 0 && $cur == -* ]] &&
        [[ $command != send || $operands -eq 0 ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    case $command in
        attach | a | kill | send)
            # Send's words after the key are text for the session: nothing to complete there.
            [[ $operands -eq 0 ]] && _velmora_add_keys "$program" "$cur"
            ;;
        new)
            # The new key is the user's to choose; the command line takes a command, then files.
            if [[ $line_start -eq $COMP_CWORD ]]; then
                COMPREPLY=($(compgen -c -- "$cur"))
            elif [[ $line_start -ne 0 ]]; then
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            ;;
        help)
            [[ $operands -eq 0 ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            ;;
    esac
}

complete -F _velmora velmora
