# bash completion for tarnwick                             -*- shell-script -*-
#
# Installed as share/bash-completion/completions/tarnwick, which
# bash-completion loads the first time "tarnwick" is completed; or source it.
# Completes the option names, directories after --config_dir (also when
# shortened to --conf and the like, or written --config_dir=DIR), host
# names after --controller_ip, file names after --report-junit, --metrics,
# --tls-ca and --secret-file and, after --only, the entries of the check
# directory given with --config_dir in any of those forms. Needs nothing
# from bash-completion itself.

# The option that WORD names: itself, or the one option it is a prefix of;
# nothing when it names none or several.
_tarnwick_option() {
  local name match=
  [[ $1 == --?* ]] || return 0
  for name in --controller_ip --username --password --config_dir \
    --verbose --timeout --keep-going --json --only --version --dry-run \
    --expect --baseline --fail-http --quiet --strict --reuse-connections \
    --reuse-session --in-flight --report-junit --metrics --nagios \
    --tls-pin --tls-ca --tls-show-pin --secret-file; do
    if [[ $name == "$1"* ]]; then
      [[ -n $match ]] && return 0
      match=$name
    fi
  done
  printf '%s\n' "$match"
}

# The check directory given on the line before the word being completed, in
# any of the forms the command takes ("--config_dir DIR", "--conf=DIR", which
# readline may split into "--conf" "=" "DIR"); the last one counts.
_tarnwick_config_dir() {
  local dir='' i word
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word == --*=* ]]; then
      [[ $(_tarnwick_option "${word%%=*}") == --config_dir ]] &&
        dir=${word#*=}
    elif [[ $(_tarnwick_option "$word") == --config_dir ]]; then
      [[ ${COMP_WORDS[i + 1]} == = ]] && ((i++))
      ((i + 1 < COMP_CWORD)) && dir=${COMP_WORDS[i + 1]}
      ((i++))
    fi
  done
  printf '%s\n' "$dir"
}

_tarnwick() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local option= attached=
  COMPREPLY=()

  # "--config_dir=DIR": readline usually splits at "=", giving the words
  # "--config_dir" "=" "DIR"; without "=" in COMP_WORDBREAKS it is one word.
  if [[ $cur == = ]]; then
    option=$prev
    cur=
  elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == --*=* ]]; then
    option=${cur%%=*}
    attached="$option="
    cur=${cur#*=}
  elif [[ $prev == --* ]]; then
    option=$prev
  fi

  # The command accepts any prefix that names one option only.
  local match
  match=$(_tarnwick_option "$option")

  local -a found=()
  case $match in
    --config_dir)
      compopt -o filenames 2>/dev/null
      mapfile -t found < <(compgen -d -- "$cur")
      ;;
    --baseline)
      compopt -o filenames 2>/dev/null
      mapfile -t found < <(compgen -f -- "$cur")
      ;;
    --controller_ip)
      mapfile -t found < <(compgen -A hostname -- "$cur")
      ;;
    --report-junit | --metrics | --tls-ca | --secret-file)
      compopt -o filenames 2>/dev/null
      mapfile -t found < <(compgen -f -- "$cur")
      ;;
    --username | --password | --timeout | --in-flight | --tls-pin)
      return 0
      ;;
    --only)
      # Entries of the check directory named on the line, as bare names.
      local dir
      dir=$(_tarnwick_config_dir)
      [[ -n $dir && -d $dir ]] || return 0
      local entry
      for entry in "$dir"/"$cur"*; do
        [[ -e $entry ]] && found+=("${entry##*/}")
      done
      ;;
    *)
      if [[ $cur == -* ]]; then
        # The four settings, then the options beyond them.
        mapfile -t found < <(compgen -W \
          '-h --help --controller_ip --username --password --config_dir
           --verbose --timeout --keep-going --json --only --version
           --dry-run --expect --baseline --fail-http --quiet --strict
           --reuse-connections --reuse-session --in-flight --report-junit
           --metrics --nagios --tls-pin --tls-ca --tls-show-pin
           --secret-file' \
          -- "$cur")
      fi
      ;;
  esac
  local word
  for word in "${found[@]}"; do
    COMPREPLY+=("$attached$word")
  done
  return 0
}
complete -F _tarnwick tarnwick
