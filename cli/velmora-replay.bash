# Bash completion for velmora-replay: its options, adapter names for -i,
# capture files otherwise.
_velmora_replay()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
    -i | --adapter)
        local names
        names=$("${COMP_WORDS[0]}" --list-adapters 2>/dev/null | cut -f1)
        COMPREPLY=($(compgen -W "$names" -- "$cur"))
        return
        ;;
    --offset | --records | --dst-mac | --dst-ip | --multiplier | --pps | --mbps | --loop | --loop-pause \
        | --duration | --map-device | --window | --apdu-timeout | --retries | --give-up | --device \
        | --serve-ip | --segment-window)
        return
        ;;
    --src-mac | --src-ip)
        COMPREPLY=($(compgen -W "adapter" -- "$cur"))
        return
        ;;
    --expect)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -W "captured" -- "$cur") $(compgen -f -- "$cur"))
        return
        ;;
    --rig)
        return
        ;;
    --route)
        COMPREPLY=($(compgen -W "captured direct" -- "$cur"))
        return
        ;;
    --compare)
        COMPREPLY=($(compgen -W "values strict kind" -- "$cur"))
        return
        ;;
    --answers | --junit | --report | --volatile)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-i --adapter --all --offset --records --list-adapters
            --decode --aimed --dst-mac --src-mac --dst-ip --src-ip --aim-broadcasts --route --map-device
            --multiplier --pps --mbps --loop --loop-pause --duration
            --debug --no-debug -q --quiet --version -h --help --listen --listen=
            --answers --expect --compare --strict --volatile --junit --report --rig --discover
            --discover= --requests-only --keep-checksums
            --converse --no-converse --window --apdu-timeout --retries --give-up
            --serve --device --serve-ip --read-only --history --segment-window" -- "$cur"))
        return
    fi
    # Sending needs -i: offer it before the capture until one is given.
    if [[ -z $cur && " ${COMP_WORDS[*]} " != *" -i "* && " ${COMP_WORDS[*]} " != *" --adapter "*
        && " ${COMP_WORDS[*]} " != *" --decode "* && " ${COMP_WORDS[*]} " != *" --list-adapters "* ]]; then
        COMPREPLY=(-i)
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _velmora_replay velmora-replay
