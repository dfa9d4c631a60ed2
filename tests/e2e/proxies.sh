#!/usr/bin/env bash
# Real proxies on loopback for the proxy tests: Dante (SOCKS5) without and
# with a login, and tinyproxy (HTTP CONNECT) without and with a login.
#
#   proxies.sh start DIR   installs dante-server and tinyproxy when missing
#                          (root and the Debian mirror), starts the four,
#                          and prints "socks=P socksauth=P http=P httpauth=P"
#   proxies.sh stop DIR    stops them and removes the login's system user
#
# Everything lives in DIR; the proxies serve 127.0.0.1 only and forward to
# 127.0.0.0/8 only. The SOCKS login is a system user (Dante checks it
# against the system's passwords), made at start and removed at stop.
set -euo pipefail
cmd=${1:-}; dir=${2:-}
[[ -n $cmd && -n $dir ]] || { echo "usage: proxies.sh start|stop DIR" >&2; exit 2; }
USER_NAME=kelproxy
USER_PASS=kelproxy-pass

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

install() {
  local missing=()
  command -v danted >/dev/null || [[ -x /usr/sbin/danted ]] || missing+=(dante-server)
  command -v tinyproxy >/dev/null || [[ -x /usr/bin/tinyproxy ]] || missing+=(tinyproxy)
  [[ ${#missing[@]} -eq 0 ]] && return 0
  [[ $(id -u) = 0 ]] || { echo "proxies: need root to install ${missing[*]}" >&2; exit 77; }
  # The packages' own services must not start: ours run in DIR.
  local guard=
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d; chmod 755 /usr/sbin/policy-rc.d; guard=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  { apt-get -q -y install --no-install-recommends "${missing[@]}" ||
    { apt-get -q update && apt-get -q -y install --no-install-recommends "${missing[@]}"; }; } >"$dir/apt.log" 2>&1 ||
    { [[ -n $guard ]] && rm -f /usr/sbin/policy-rc.d; echo "proxies: cannot install ${missing[*]}" >&2; exit 77; }
  [[ -n $guard ]] && rm -f /usr/sbin/policy-rc.d
  # A service the package started anyway is not ours to keep.
  pkill -x danted 2>/dev/null || true; pkill -x tinyproxy 2>/dev/null || true
  return 0
}

dante_conf() {  # PORT METHOD
  cat <<CONF
logoutput: $dir/danted-$1.log
internal: 127.0.0.1 port = $1
external: 127.0.0.1
clientmethod: none
socksmethod: $2
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: error }
socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 log: error }
CONF
}

tiny_conf() {  # PORT [AUTH]
  cat <<CONF
User nobody
Group nogroup
Port $1
Listen 127.0.0.1
Timeout 60
Allow 127.0.0.1
MaxClients 20
LogLevel Error
CONF
  [[ -n ${2:-} ]] && echo "BasicAuth $USER_NAME $USER_PASS"
  return 0
}

wait_port() {  # PORT
  for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2).close()" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "proxies: nothing listens on $1" >&2; return 1
}

case $cmd in
  start)
    mkdir -p "$dir"; chmod 777 "$dir"
    install
    id "$USER_NAME" >/dev/null 2>&1 || useradd --no-create-home --shell /usr/sbin/nologin "$USER_NAME"
    echo "$USER_NAME:$USER_PASS" | chpasswd
    socks=$(free_port); socksauth=$(free_port); http=$(free_port); httpauth=$(free_port)
    dante_conf "$socks" none >"$dir/danted-plain.conf"
    dante_conf "$socksauth" username >"$dir/danted-auth.conf"
    tiny_conf "$http" >"$dir/tinyproxy-plain.conf"
    tiny_conf "$httpauth" auth >"$dir/tinyproxy-auth.conf"
    for kind in plain auth; do
      /usr/sbin/danted -f "$dir/danted-$kind.conf" </dev/null >"$dir/danted-$kind.out" 2>&1 &
      echo $! >"$dir/danted-$kind.pid"
      /usr/bin/tinyproxy -d -c "$dir/tinyproxy-$kind.conf" </dev/null >"$dir/tinyproxy-$kind.out" 2>&1 &
      echo $! >"$dir/tinyproxy-$kind.pid"
    done
    for p in "$socks" "$socksauth" "$http" "$httpauth"; do wait_port "$p"; done
    echo "socks=$socks socksauth=$socksauth http=$http httpauth=$httpauth user=$USER_NAME password=$USER_PASS"
    ;;
  stop)
    for f in "$dir"/*.pid; do
      [[ -e $f ]] || continue
      pid=$(cat "$f"); kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$f"
    done
    # Dante's own child processes go with their parent; anything left of ours is ended here.
    pkill -f "danted -f $dir/" 2>/dev/null || true
    id "$USER_NAME" >/dev/null 2>&1 && userdel "$USER_NAME" 2>/dev/null || true
    ;;
  *) echo "usage: proxies.sh start|stop DIR" >&2; exit 2 ;;
esac
