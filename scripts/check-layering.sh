#!/usr/bin/env bash
# Fails when a source file includes a subsystem it must not depend on, or a
# window toolkit outside a front end. Usage: check-layering.sh [ROOT]
#   core      nothing else        dsp     core
#   keyer     core, dsp           asio    core, dsp
#   serial    core                app/form  all of the above, no toolkit
#   app/<front end>  everything   tests, bench: not checked
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

allowed() {  # layer of the including file -> layers it may include
  case $1 in
    core) echo "core" ;;
    dsp) echo "core dsp" ;;
    keyer) echo "core dsp keyer" ;;
    asio) echo "core dsp asio" ;;
    serial) echo "core serial" ;;
    form) echo "core dsp keyer asio serial form" ;;
    frontend) echo "core dsp keyer asio serial form frontend" ;;
  esac
}

layer_of_path() {  # a path relative to the root -> its layer, or nothing
  case $1 in
    core/*) echo core ;;
    dsp/*) echo dsp ;;
    keyer/*) echo keyer ;;
    asio/*) echo asio ;;
    serial/*) echo serial ;;
    app/form/*) echo form ;;
    app/*/*) echo frontend ;;
  esac
}

status=0
while IFS= read -r file; do
  file=${file#./}
  from=$(layer_of_path "$file")
  [ -n "$from" ] || continue
  ok=" $(allowed "$from") "
  while IFS=: read -r line text; do
    if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
      to=$(layer_of_path "${BASH_REMATCH[1]}")
      if [ -n "$to" ] && [[ $ok != *" $to "* ]]; then
        echo "$file:$line: $from must not include ${BASH_REMATCH[1]} ($to)"
        status=1
      fi
    elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<((Q[A-Za-z]*|Qt[A-Za-z]*/[^>]*|commctrl\.h|gtk/[^>]*))\> ]]; then
      if [ "$from" != frontend ]; then
        echo "$file:$line: $from must not include the toolkit header <${BASH_REMATCH[1]}>"
        status=1
      fi
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file")
done < <(find core dsp keyer asio serial app -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)

[ $status -eq 0 ] && echo "layering: ok"
exit $status
