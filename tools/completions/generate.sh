#!/bin/sh
# Writes the bash or zsh completion of the tavisk command. The flags come from its --help and the
# words of enumeration flags from its own message for a wrong word, so completion follows the
# command's flag table without a list kept here.
# Usage: generate.sh bash|zsh path/to/tavisk > completion-file
set -eu
shell=$1
tool=$2

# One line per flag: SHORT LONG META HELP (SHORT and META are "-" when there is none).
flags() {
  "$tool" --help | sed -n 's/^  \(-[a-zA-Z], \|    \)--\([a-z][a-z-]*\)\(\[=[A-Z]*\]\| [A-Z][A-Z]*\)\{0,1\}  *\(.*\)$/\1|\2|\3|\4/p' |
    while IFS='|' read -r short long meta help; do
      short=$(printf '%s' "$short" | sed 's/^-\([a-zA-Z]\), $/\1/; s/^ *$/-/')
      meta=$(printf '%s' "$meta" | tr -d ' []=')
      printf '%s %s %s %s\n' "$short" "$long" "${meta:--}" "$help"
    done
}

# The accepted words of an enumeration flag, or nothing.
choices() {
  "$tool" --version "--$1=" 2>&1 >/dev/null </dev/null | sed -n "s/^tavisk: --$1 must be one of \(.*\), not ''$/\1/p" | tr -d ,
}

bash_completion() {
  all=""
  value_cases=""
  while read -r short long meta help; do
    all="$all --$long"
    [ "$short" = - ] || all="$all -$short"
    [ "$meta" = - ] && continue
    names="--$long"
    [ "$short" = - ] || names="$names|-$short"
    words=$(choices "$long")
    if [ -n "$words" ]; then
      value_cases="$value_cases    $names) COMPREPLY=(\$(compgen -W \"$words\" -- \"\$cur\")); return ;;
"
    elif [ "$meta" = FILE ]; then
      value_cases="$value_cases    $names) COMPREPLY=(\$(compgen -f -- \"\$cur\")); return ;;
"
    else
      value_cases="$value_cases    $names) return ;;
"
    fi
  done <<FLAGS
$(flags)
FLAGS
  cat <<SCRIPT
# bash completion for tavisk (generated from its --help)
_tavisk() {
  local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case \$prev in
$value_cases  esac
  if [[ \$cur == -* ]]; then
    COMPREPLY=(\$(compgen -W "${all# }" -- "\$cur"))
  else
    COMPREPLY=(\$(compgen -f -- "\$cur"))
  fi
}
complete -o filenames -F _tavisk tavisk
SCRIPT
}

zsh_completion() {
  echo "#compdef tavisk"
  echo "# zsh completion for tavisk (generated from its --help)"
  echo "_arguments -s -S \\"
  while read -r short long meta help; do
    help=$(printf '%s' "$help" | tr -d "[]:'\\\\")
    if [ "$meta" = - ]; then
      value=""
    else
      words=$(choices "$long")
      if [ -n "$words" ]; then
        value=":$meta:($words)"
      elif [ "$meta" = FILE ]; then
        value=":$meta:_files"
      else
        value=":$meta: "
      fi
    fi
    sep=""
    [ "$meta" = - ] || sep="="
    printf "  '*--%s%s[%s]%s' \\\\\n" "$long" "$sep" "$help" "$value"
    [ "$short" = - ] || printf "  '*-%s%s[%s]%s' \\\\\n" "$short" "$([ "$meta" = - ] || echo +)" "$help" "$value"
  done <<FLAGS
$(flags)
FLAGS
  echo "  '*:file:_files'"
}

case $shell in
  bash) bash_completion ;;
  zsh) zsh_completion ;;
  *) echo "usage: generate.sh bash|zsh path/to/tavisk" >&2; exit 2 ;;
esac
