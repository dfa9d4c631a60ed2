#!/usr/bin/env bash
# Checks the include rule of src/: every room includes only from itself and
# the rooms below it, in this order from the top:
#   api -> driver -> mime, net, codec -> core -> platform
# (mime may use net and codec; net and codec stand side by side).
set -euo pipefail
cd "$(dirname "$0")/../src"
rank() {
  case $1 in
    platform) echo 0 ;; core) echo 1 ;; codec) echo 2 ;; net) echo 2 ;; mime) echo 3 ;;
    driver) echo 4 ;; api) echo 5 ;; *) echo -1 ;;
  esac
}
bad=0
while IFS=: read -r file _ line; do
  room=${file%%/*}
  target=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$line")
  case $target in
    ../*/*|../../include/*) dir=${target#../}; dir=${dir%%/*} ;;
    */*) dir=${target%%/*} ;;
    *) continue ;;                       # same room
  esac
  [ "$dir" = ".." ] && continue          # the public header
  [ "$dir" = "$room" ] && continue
  if [ "$(rank "$dir")" -ge "$(rank "$room")" ]; then
    echo "layers: $file includes $target (from $dir, not below $room)" >&2
    bad=1
  fi
done < <(grep -rn '#include "' --include='*.cpp' --include='*.h' .  | sed 's#^\./##')

# Calls: the exported interface is the top room's. Below it no file defines
# an exported function or calls one (a call up would make a circle with
# the api room, which calls down into every room). Comments and strings are
# left out of the search.
while IFS= read -r hit; do
  echo "layers: $hit (an exported function below api/)" >&2
  bad=1
done < <(for f in $(find platform core codec net mime driver -name '*.cpp' -o -name '*.h' | sort); do
  sed -E -e 's#//.*$##' -e 's#"([^"\\]|\\.)*"#""#g' "$f" |
    grep -nE '\bkel[A-Z][A-Za-z0-9]*[[:space:]]*\(|extern "C"|extern ""' | sed "s#^#$f:#" || true
done)
[ $bad = 0 ] && echo "layers: every include runs downwards; no exported function is defined or called below api/"
exit $bad
