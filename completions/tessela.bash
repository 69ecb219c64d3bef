# Bash completion for tessela: its commands, their options, and for the commands that take a
# locked item, the locked items (folders named NAME.tessvault) and the folders to find them in.
_tessela() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local commands="lock unlock relock remove-lock setup change-password forget status recover quit file-manager-menu"
    local command="" index
    for ((index = 1; index < COMP_CWORD; index++)); do
        case ${COMP_WORDS[index]} in
            -*) ;;
            *) command=${COMP_WORDS[index]}; break ;;
        esac
    done
    COMPREPLY=()
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--verbose --version --help" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return
    fi
    local options="--help" paths=""
    case $command in
        lock) options="--password-stdin --help"; paths=any ;;
        unlock | remove-lock) options="--password-stdin --help"; paths=locked ;;
        relock) options="--force --help"; paths=locked ;;
        forget) paths=locked ;;
        setup | change-password) options="--password-stdin --help" ;;
        file-manager-menu)
            [[ $cur != -* ]] && mapfile -t COMPREPLY < <(compgen -W "on off" -- "$cur")
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    case $paths in
        any)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
        locked)
            # A locked item is a folder: folders only, the locked ones first.
            compopt -o filenames 2>/dev/null
            local folder locked=() others=()
            while IFS= read -r folder; do
                if [[ $folder == *.tessvault ]]; then
                    locked+=("$folder")
                else
                    others+=("$folder")
                fi
            done < <(compgen -d -- "$cur")
            COMPREPLY=("${locked[@]}" "${others[@]}")
            ;;
    esac
}
complete -F _tessela tessela
