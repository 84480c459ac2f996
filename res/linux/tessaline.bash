# bash completion for tessaline: its options, the report kinds after
# --print, the formats after --format, the socket tables after --watch, the
# known SSH hosts after --remote, nothing after --filter, and .tsl documents
# otherwise.
_tessaline() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    case $prev in
        --print)
            COMPREPLY=($(compgen -W "all icmp ip udp-stats tcp-stats network adapters interfaces protocols udp tcp udp6 tcp6 ip6 log processes listening" -- "$cur"))
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W "text json csv openmetrics" -- "$cur"))
            return
            ;;
        --watch)
            COMPREPLY=($(compgen -W "tcp udp tcp6 udp6" -- "$cur"))
            return
            ;;
        --filter)
            COMPREPLY=()
            return
            ;;
        --remote)
            if declare -F _known_hosts_real >/dev/null; then
                _known_hosts_real -a -- "$cur"
            else
                COMPREPLY=()
            fi
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--print --details --format --filter --watch --remote --help --version --" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -X '!*.tsl' -- "$cur") $(compgen -d -- "$cur"))
}
complete -o filenames -F _tessaline tessaline
