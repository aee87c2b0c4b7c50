# bash completion for qks970, the command line of qks970-recovery.
# Self-contained: it needs no helper of the bash-completion package.

_qks970_commands="list recover backup erase run images restore watch verify copies"
_qks970_profiles="q970 q958 q719 q742 q743 q745 q746 q715 q716 q717 q709 q861 q851 qk60715w qk60716u qk60717w qk60718w qk60719w plain"
# The options of qks970 itself: before or after the command.
_qks970_global="--emulate --trace --backup-dir --images --device -v --verbose -q --quiet --virtual-time -h --help"
# Options followed by a value, so that the value is not taken for the command.
_qks970_valued="--emulate --trace --backup-dir --images --device --header-from --journal --firmware --rom-type --firmware-size --page-size --for --against"

_qks970_options()
{
    local panel="--a1-chip --rom-type --firmware-size --page-size"
    case $1 in
        list | images | copies) echo "--json" ;;
        recover) echo "-y --yes --allow-development-image --json --journal --header-from --all --force-in-use" ;;
        backup) echo "$panel --force --json" ;;
        erase) echo "$panel -y --yes --json --journal --force-in-use" ;;
        run) echo "--firmware $panel -y --yes --allow-development-image --json --journal --force-in-use" ;;
        restore) echo "-y --yes --json --journal --force-in-use" ;;
        watch) echo "--for --recover -y --yes --allow-development-image --json --journal --force-in-use" ;;
        verify) echo "--against --json" ;;
        "") echo "--version" ;;
    esac
}

_qks970()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    case $prev in
        --trace | --header-from | --firmware | --against)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --backup-dir | --images)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --emulate)
            COMPREPLY=($(compgen -W "$_qks970_profiles" -- "$cur"))
            return
            ;;
        --firmware-size)
            COMPREPLY=($(compgen -W "32KB 64KB 128KB 256KB 512KB 1MB" -- "$cur"))
            return
            ;;
        --page-size)
            COMPREPLY=($(compgen -W "32KB 16KB 8KB 4KB 2KB" -- "$cur"))
            return
            ;;
        --rom-type)
            COMPREPLY=($(compgen -W "0 1 2" -- "$cur"))
            return
            ;;
        --device | --for | --journal)
            return
            ;;
    esac

    # The command is the first word that is neither an option nor its value.
    local command="" i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case " $_qks970_valued " in
            *" $word "*) ((i++)); continue ;;
        esac
        case $word in
            -*) continue ;;
        esac
        command=$word
        break
    done

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$_qks970_global $(_qks970_options "$command")" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$_qks970_commands" -- "$cur"))
    elif [[ $command == backup || $command == restore ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}

complete -o filenames -F _qks970 qks970
