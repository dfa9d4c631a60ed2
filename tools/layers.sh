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
[ $bad = 0 ] && echo "layers: every include runs downwards"
exit $bad
