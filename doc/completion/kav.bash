# bash completion for kav: subcommands, their words and options, and file names where a
# subcommand takes a file.

_kav() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local modem_opts="--port --json -q --help"
  local command=${words[1]-} sub=${words[2]-}

  case $prev in
    --port)
      local ports=(/dev/ttyUSB* /dev/ttyACM* /dev/wwan*qcdm*)
      COMPREPLY=($(compgen -W "${ports[*]}" -- "$cur"))
      return
      ;;
    --index | --ids | --text | --hex | --firmware)
      return
      ;;
  esac

  if ((cword == 1)); then
    COMPREPLY=($(compgen -W "ports info nv mode reset send nvdb each station --help" -- "$cur"))
    return
  fi

  case $command in
    each)
      COMPREPLY=($(compgen -W "--parallel --json -q --" -- "$cur"))
      ;;
    station)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--log --parallel --again -q" -- "$cur"))
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi
      ;;
    ports)
      COMPREPLY=($(compgen -W "--dm-only --udev-rules --json -q --help" -- "$cur"))
      ;;
    info | reset | send)
      COMPREPLY=($(compgen -W "$modem_opts" -- "$cur"))
      ;;
    mode)
      if ((cword == 2)); then
        COMPREPLY=($(compgen -W "dm dl --help" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$modem_opts" -- "$cur"))
      fi
      ;;
    nv)
      if ((cword == 2)); then
        COMPREPLY=($(compgen -W "read write backup restore --help" -- "$cur"))
        return
      fi
      case $sub in
        read) COMPREPLY=($(compgen -W "--index $modem_opts" -- "$cur")) ;;
        write) COMPREPLY=($(compgen -W "--text --hex --index $modem_opts" -- "$cur")) ;;
        backup)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--ids --force $modem_opts" -- "$cur"))
          else
            COMPREPLY=($(compgen -f -- "$cur"))
          fi
          ;;
        restore)
          if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--force $modem_opts" -- "$cur"))
          else
            COMPREPLY=($(compgen -f -- "$cur"))
          fi
          ;;
      esac
      ;;
    nvdb)
      if ((cword == 2)); then
        COMPREPLY=($(compgen -W "check sign list --help" -- "$cur"))
      elif [[ $cur == -* ]]; then
        local opts="--json -q --help"
        [[ $sub == list ]] && opts="--firmware $opts"
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi
      ;;
  esac
}
complete -F _kav kav
