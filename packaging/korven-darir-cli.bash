# bash completion for korven-darir-cli
_korven_darir_cli() {
  local cur prev words cword
  _init_completion || return
  local command=${words[1]}
  [ "$command" = params ] && command="params ${words[2]}"
  case $prev in
    --port)
      COMPREPLY=($(compgen -W "socket:// rfc2217://" -- "$cur") $(compgen -f -- "${cur:-/dev/tty}"))
      return ;;
    --from | --to) COMPREPLY=($(compgen -W "ram eeprom" -- "$cur")); return ;;
    -o | --output | --mqtt-password-file) _filedir; return ;;
    --mqtt) COMPREPLY=($(compgen -W "mqtt:// mqtts://" -- "$cur")); compopt -o nospace; return ;;
    --mqtt-station | --mqtt-prefix | --mqtt-user | --mqtt-rate) return ;;
    --count | --seconds | --frames | --operator | --reference | --tolerance) return ;;
    --format)
      case $command in
        scan | info) COMPREPLY=($(compgen -W "text json" -- "$cur")) ;;
        "params get") COMPREPLY=($(compgen -W "dat json" -- "$cur")) ;;
        stream | video) COMPREPLY=($(compgen -W "csv jsonl" -- "$cur")) ;;
      esac
      return ;;
  esac
  if [ "$cword" -eq 1 ]; then
    COMPREPLY=($(compgen -W "scan info params stream video report --help --version" -- "$cur"))
    return
  fi
  if [ "${words[1]}" = params ] && [ "$cword" -eq 2 ]; then
    COMPREPLY=($(compgen -W "get set" -- "$cur"))
    return
  fi
  local options
  case $command in
    scan | info) options="--port --format" ;;
    "params get") options="--port --from --format -o" ;;
    "params set") options="--port --to" ;;
    stream) options="--port --count --seconds --continuous --format -o --mqtt --mqtt-station --mqtt-prefix --mqtt-rate --mqtt-user --mqtt-password-file" ;;
    video) options="--port --frames --format -o" ;;
    report) options="--port --operator --reference --tolerance --seconds -o" ;;
  esac
  if [[ $cur == -* ]] || [ "$command" != "params set" ]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$options power= rs232Mode= vThd= anaMode= polarity= eMode= eBeg= eEnd= tVal= tTol= opMode= eHardware= slope= intersect= average= deltaTol=" -- "$cur"))
    _filedir dat
    compopt -o nospace
  fi
}
complete -F _korven_darir_cli korven-darir-cli
