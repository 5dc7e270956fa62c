# bash completion for tarnwick                             -*- shell-script -*-
#
# Installed as share/bash-completion/completions/tarnwick, which
# bash-completion loads the first time "tarnwick" is completed; or source it.
# Completes the option names, directories after --config_dir (also when
# shortened to --conf and the like, or written --config_dir=DIR), host
# names after --controller_ip and the entries of the check directory given
# with --config_dir after --only. Needs nothing from bash-completion itself.

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
  local name match=
  if [[ $option == --?* ]]; then
    for name in --controller_ip --username --password --config_dir \
      --verbose --timeout --keep-going --json --only --version --dry-run \
      --reuse-connections --reuse-session; do
      if [[ $name == "$option"* ]]; then
        [[ -n $match ]] && { match=; break; }
        match=$name
      fi
    done
  fi

  local -a found=()
  case $match in
    --config_dir)
      compopt -o filenames 2>/dev/null
      mapfile -t found < <(compgen -d -- "$cur")
      ;;
    --controller_ip)
      mapfile -t found < <(compgen -A hostname -- "$cur")
      ;;
    --username | --password | --timeout)
      return 0
      ;;
    --only)
      # Entries of the check directory named on the line, as bare names.
      local dir= i
      for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
          --config_dir=*) dir=${COMP_WORDS[i]#*=} ;;
          --config_dir) ((i + 1 < COMP_CWORD)) && dir=${COMP_WORDS[i + 1]} ;;
        esac
      done
      [[ -d $dir ]] || return 0
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
           --dry-run --reuse-connections --reuse-session' \
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
