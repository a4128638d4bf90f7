# fish completion for velmora: its commands, their options, and the keys of the running
# sessions (read from `velmora ls --json`).

# The key of every session. A key is the first member of its row; the rare key with JSON
# escapes other than \" \\ \/ (control characters) is left out.
function __velmora_keys
    set -l program (commandline -opc)[1]
    command $program ls --json 2>/dev/null | awk '
        index($0, "{\\"key\\":\\"") != 1 { next }
        {
            key = ""; ok = 1
            for (i = 9; i <= length($0); i++) {
                c = substr($0, i, 1)
                if (c == "\\"") break
                if (c == "\\\\") {
                    c = substr($0, ++i, 1)
                    if (c != "\\"" && c != "\\\\" && c != "/") { ok = 0; break }
                }
                key = key c
            }
            if (ok) print key
        }'
end

# The words before the cursor after the program, and the command among them ("attach" when
# the line starts with an option).
function __velmora_words
    set -l words (commandline -opc)
    set -e words[1]
    test (count $words) -gt 0; and printf '%s\n' $words
end

function __velmora_command
    set -l words (__velmora_words)
    if test (count $words) -eq 0
        return 1
    end
    if string match -q -- '-*' $words[1]
        echo attach
    else
        echo $words[1]
    end
end

function __velmora_needs_command
    test (count (__velmora_words)) -eq 0
end

# True when the command is one of the arguments.
function __velmora_using
    contains -- (__velmora_command) $argv
end

# True when the command is one of the arguments and its key has not been given yet.
function __velmora_wants_key
    __velmora_using $argv; or return 1
    set -l words (__velmora_words)
    string match -q -- '-*' $words[1]; or set -e words[1]
    set -l skip_value 0
    for word in $words
        if test $skip_value -eq 1
            set skip_value 0
        else if test "$word" = -e
            set skip_value 1
        else if not string match -q -- '-*' $word
            return 1
        end
    end
    return 0
end

# The command line that `new` types: what follows the "--" after its key.
function __velmora_new_line
    set -l words (__velmora_words)
    set -l separator (contains -i -- -- $words)
    test -n "$separator"; and test $separator -gt 2; or return 1
    set -l line $words[(math $separator + 1)..-1] (commandline -ct)
    complete -C (string join ' ' -- (string escape -- $line))
end

# Options are over once send has its key (the rest is text) and in the command line of new.
function __velmora_takes_options
    __velmora_in_new_line; and return 1
    __velmora_using send; and not __velmora_wants_key send; and return 1
    return 0
end

function __velmora_in_new_line
    __velmora_using new; or return 1
    set -l separator (contains -i -- -- (__velmora_words))
    test -n "$separator"; and test $separator -gt 2
end

complete -c velmora -f

complete -c velmora -n __velmora_needs_command -a attach -d 'Attach this terminal to a session'
complete -c velmora -n __velmora_needs_command -a new -d 'Create a session and attach to it'
complete -c velmora -n __velmora_needs_command -a ls -d 'List the sessions'
complete -c velmora -n __velmora_needs_command -a kill -d 'End a session and its shell'
complete -c velmora -n __velmora_needs_command -a send -d 'Type text into a session'
complete -c velmora -n __velmora_needs_command -a shutdown -d 'Stop the daemon and every shell'
complete -c velmora -n __velmora_needs_command -a version -d 'Show the versions'
complete -c velmora -n __velmora_needs_command -a decode -d 'Show how the daemon reads requests'
complete -c velmora -n __velmora_needs_command -a help -d 'Show the help of a command'
complete -c velmora -n __velmora_needs_command -l version -d 'Show the versions'

complete -c velmora -n __velmora_takes_options -s h -l help -d 'Show the help'
complete -c velmora -n '__velmora_using attach a' -s x -l existing -d 'Attach only to a session that exists'
complete -c velmora -n '__velmora_using attach a new; and not __velmora_in_new_line' -s e -x -d 'Detach with this key (^x or one character)'
complete -c velmora -n '__velmora_using attach a new; and not __velmora_in_new_line' -s E -d 'No detach key'
complete -c velmora -n '__velmora_using attach a new; and not __velmora_in_new_line' -l no-redraw -d 'Do not nudge programs to repaint after a resume'
complete -c velmora -n '__velmora_using attach a new; and not __velmora_in_new_line' -l no-history -d 'Push none of the earlier lines into the scrollback'
complete -c velmora -n '__velmora_using new; and not __velmora_in_new_line' -s d -l detached -d 'Do not attach'
complete -c velmora -n '__velmora_using ls list' -l json -d 'One JSON object per session'
complete -c velmora -n '__velmora_wants_key send' -s n -d 'Do not press Enter after the text'

complete -c velmora -n '__velmora_wants_key attach a kill send' -a '(__velmora_keys)' -d Session
complete -c velmora -n '__velmora_in_new_line' -a '(__velmora_new_line)'
complete -c velmora -n '__velmora_using help' -a 'attach new ls kill send shutdown version decode'
