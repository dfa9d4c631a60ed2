#!/usr/bin/env bash
# tests/e2e/mailstack.sh - KEL32's real-server test bed.
#
# Installs (Debian 12 packages) and runs a private Postfix (SMTP) and a private Dovecot (POP3) on
# 127.0.0.1 (and ::1: SMTP on its first port, POP3 and IMAP on theirs) only, with every configuration file, queue, log and mailbox under $MAILSTACK_DIR.
# /etc/postfix and /etc/dovecot are never used; nothing is delivered off the machine; no DNS.
#
#   mailstack.sh install     apt-get install postfix dovecot-core dovecot-pop3d (+ curl, bsd-mailx, git-email) when missing; user vmail
#   mailstack.sh start       (re)generate the tree and start both servers; reloads a running stack
#   mailstack.sh stop        stop both servers by their pid files; waits until no process of theirs is left
#   mailstack.sh restart     stop + start
#   mailstack.sh status      exit 0 = both answer, 3 = both stopped, 1 = partial
#   mailstack.sh reset [USER...]   empty all (or the named) mailboxes and the Postfix queue; fine while running
#   mailstack.sh env         print the MAILSTACK_* settings of the stack as `export NAME='value'` lines
#   mailstack.sh selftest    smoke test of a running stack with curl (sends mail to alice and bob)
#
# Exit codes: 0 ok; 1 failure; 2 "cannot here" (not root, packages missing and not installable,
# apt failed): the e2e fixture turns 2 into a visible skip unless KEL_E2E_REQUIRED=1.
#
# Settings (environment; `start` records them in $MAILSTACK_DIR/mailstack.env, and status/env/reset
# use that record when it exists):
#   MAILSTACK_DIR              /tmp/mailstack  (absolute, no spaces, short: unix socket paths)
#   MAILSTACK_SMTP_PORT        2525  (SMTP, AUTH optional; mail for the test domain accepted without AUTH)
#   MAILSTACK_SUBMISSION_PORT  2587  (SMTP, AUTH required for every recipient)
#   MAILSTACK_POP3_PORT        1110  (POP3: USER/PASS, APOP, SASL PLAIN/LOGIN/CRAM-MD5/XOAUTH2/OAUTHBEARER; STLS offered)
#   MAILSTACK_CRAM_PORT, MAILSTACK_LOGIN_PORT, MAILSTACK_PLAINLOGIN_PORT, MAILSTACK_BEARER_PORT
#                              2588, 2589, 2590, 2591  (SMTP, AUTH required, offering CRAM-MD5 only,
#                              LOGIN only, PLAIN and LOGIN, XOAUTH2 and OAUTHBEARER; a user's bearer
#                              token is "<name>-token-" and 300 zeros)
#   MAILSTACK_SMTPS_PORT       2465  (SMTP over implicit TLS, AUTH required)
#   MAILSTACK_TLS_SUBMISSION_PORT 2592 (SMTP, STARTTLS required, AUTH offered only after it)
#   MAILSTACK_POP3S_PORT       1995  (POP3 over implicit TLS)
#   MAILSTACK_IMAP_PORT        1143  (IMAP: LOGIN, AUTHENTICATE PLAIN/XOAUTH2/OAUTHBEARER; STARTTLS offered)
#   MAILSTACK_IMAPS_PORT       1993  (IMAP over implicit TLS)
#   Every SMTP port offers STARTTLS. The certificate (CA $MAILSTACK_DIR/tls/ca.pem; server for
#   mail.example.test, localhost and 127.0.0.1) is made at the first start.
#   MAILSTACK_DOMAIN           example.test
#   MAILSTACK_USERS            "alice:alice-pass bob:bob-pass sink:sink-pass"  (sink is always added)
#   MAILSTACK_VMAIL_USER       vmail (system user owning the Maildirs)
#   MAILSTACK_APT_UPDATE=0     install: skip apt-get update
#   MAILSTACK_CLIENTS=0        install: do not install the clients (curl, bsd-mailx, git, git-email)
#   MAILSTACK_START_TIMEOUT    15 (seconds to wait for the greetings)
#
# The facts behind every setting are in the project's notes on real servers (pitfall numbers below).

set -u -o pipefail
umask 022

PROG=mailstack

HOST=127.0.0.1
PKGS="postfix dovecot-core dovecot-pop3d dovecot-imapd"
# Clients that drive the stack (and kelmail as their sendmail): curl, bsd-mailx's mail, git send-email
# (which needs Mail::Address from libmailtools-perl).
CLIENT_PKGS="curl bsd-mailx git git-email libmailtools-perl"

MAILSTACK_DIR=${MAILSTACK_DIR:-/tmp/mailstack}
MAILSTACK_DIR=${MAILSTACK_DIR%/}

say()  { printf '%s: %s\n' "$PROG" "$*"; }
warn() { printf '%s: %s\n' "$PROG" "$*" >&2; }
die()  { local rc=$1; shift; warn "$*"; exit "$rc"; }

now_us() { local t=${EPOCHREALTIME/./}; echo "${t#0}"; }
elapsed() { # start_us -> "0.123"
    local d=$(( $(now_us) - $1 ))
    printf '%d.%03d' $((d / 1000000)) $(((d % 1000000) / 1000))
}

# ---------------------------------------------------------------- settings

load_settings() { # $1 = "saved": prefer the record of the started stack
    local rec=$MAILSTACK_DIR/mailstack.env
    if [[ ${1:-} == saved && -r $rec ]]; then
        local keep_dir=$MAILSTACK_DIR line name value
        while IFS= read -r line; do
            [[ $line =~ ^export\ (MAILSTACK_[A-Z0-9_]+)=\'([^\']*)\'$ ]] || continue
            name=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
            printf -v "$name" '%s' "$value"
        done <"$rec"
        MAILSTACK_DIR=$keep_dir
    fi
    SMTP_PORT=${MAILSTACK_SMTP_PORT:-2525}
    SUB_PORT=${MAILSTACK_SUBMISSION_PORT:-2587}
    # Two more AUTH-required listeners that each offer one mechanism only, so a
    # client that takes the first method it recognises can be made to use it.
    CRAM_PORT=${MAILSTACK_CRAM_PORT:-2588}
    LOGIN_PORT=${MAILSTACK_LOGIN_PORT:-2589}
    # AUTH required, PLAIN and LOGIN only (in the server's order); and the
    # OAuth 2.0 bearer mechanisms only (XOAUTH2, OAUTHBEARER), checked by
    # Dovecot against each user's fixed token: "<name>-token-" and 300 zeros,
    # as long as real tokens are.
    PLAINLOGIN_PORT=${MAILSTACK_PLAINLOGIN_PORT:-2590}
    BEARER_PORT=${MAILSTACK_BEARER_PORT:-2591}
    POP3_PORT=${MAILSTACK_POP3_PORT:-1110}
    SMTPS_PORT=${MAILSTACK_SMTPS_PORT:-2465}
    TLS_SUB_PORT=${MAILSTACK_TLS_SUBMISSION_PORT:-2592}
    POP3S_PORT=${MAILSTACK_POP3S_PORT:-1995}
    IMAP_PORT=${MAILSTACK_IMAP_PORT:-1143}
    IMAPS_PORT=${MAILSTACK_IMAPS_PORT:-1993}
    DOMAIN=${MAILSTACK_DOMAIN:-example.test}
    USERS=${MAILSTACK_USERS:-"alice:alice-pass bob:bob-pass sink:sink-pass"}
    VMAIL=${MAILSTACK_VMAIL_USER:-vmail}
    SINK=sink
    [[ " $USERS " == *" $SINK:"* ]] || USERS="$USERS $SINK:$SINK-pass"
    USERS=$(echo $USERS)   # squeeze blanks

    D=$MAILSTACK_DIR
    PF_CONF=$D/etc/postfix
    DC_CONF=$D/etc/dovecot/dovecot.conf
    PF_PIDFILE=$D/spool/postfix/pid/master.pid
    DC_PIDFILE=$D/run/dovecot/master.pid
}

validate() {
    [[ $D == /* ]] || die 1 "MAILSTACK_DIR must be absolute: $D"
    [[ $D =~ ^[A-Za-z0-9/._-]+$ ]] || die 1 "MAILSTACK_DIR may only contain letters, digits and / . _ - : $D"
    [[ $D != / && $D != /tmp ]] || die 1 "MAILSTACK_DIR must be a directory of its own: $D"
    (( ${#D} + 12 < 80 )) || die 1 "MAILSTACK_DIR too long: $D/run/dovecot must stay under 80 characters (unix sockets)"
    local p
    for p in "$SMTP_PORT" "$SUB_PORT" "$CRAM_PORT" "$LOGIN_PORT" "$PLAINLOGIN_PORT" "$BEARER_PORT" "$POP3_PORT" "$SMTPS_PORT" "$TLS_SUB_PORT" "$POP3S_PORT" "$IMAP_PORT" "$IMAPS_PORT"; do
        [[ $p =~ ^[0-9]+$ ]] && (( p > 0 && p < 65536 )) || die 1 "bad port: $p"
    done
    [[ $SMTP_PORT != "$SUB_PORT" && $SMTP_PORT != "$POP3_PORT" && $SUB_PORT != "$POP3_PORT" ]] \
        || die 1 "the three ports must differ"
    [[ $DOMAIN =~ ^[a-z0-9]([a-z0-9.-]*[a-z0-9])?$ ]] || die 1 "bad MAILSTACK_DOMAIN: $DOMAIN"
    [[ $VMAIL =~ ^[a-z_][a-z0-9_-]*$ ]] || die 1 "bad MAILSTACK_VMAIL_USER: $VMAIL"
    local u
    for u in $USERS; do
        [[ $u =~ ^[a-z0-9][a-z0-9._-]*:[!-~]+$ && $u != *\'* ]] \
            || die 1 "bad MAILSTACK_USERS entry '$u' (want name:password; lower-case name; no quote in the password)"
        [[ ${u#*:} != *:* ]] || die 1 "bad MAILSTACK_USERS entry '$u' (password may not contain ':')"
    done
}

user_names() { local u; for u in $USERS; do printf '%s\n' "${u%%:*}"; done; }

print_env() {
    cat <<EOF
export MAILSTACK_DIR='$D'
export MAILSTACK_HOST='$HOST'
export MAILSTACK_SMTP_PORT='$SMTP_PORT'
export MAILSTACK_SUBMISSION_PORT='$SUB_PORT'
export MAILSTACK_CRAM_PORT='$CRAM_PORT'
export MAILSTACK_LOGIN_PORT='$LOGIN_PORT'
export MAILSTACK_PLAINLOGIN_PORT='$PLAINLOGIN_PORT'
export MAILSTACK_BEARER_PORT='$BEARER_PORT'
export MAILSTACK_POP3_PORT='$POP3_PORT'
export MAILSTACK_SMTPS_PORT='$SMTPS_PORT'
export MAILSTACK_TLS_SUBMISSION_PORT='$TLS_SUB_PORT'
export MAILSTACK_POP3S_PORT='$POP3S_PORT'
export MAILSTACK_IMAP_PORT='$IMAP_PORT'
export MAILSTACK_IMAPS_PORT='$IMAPS_PORT'
export MAILSTACK_CA_FILE='$D/tls/ca.pem'
export MAILSTACK_DOMAIN='$DOMAIN'
export MAILSTACK_USERS='$USERS'
export MAILSTACK_SINK='$SINK'
EOF
}

# ---------------------------------------------------------------- processes

# proc_state PID -> prints "STATE PPID PGRP" (nothing when the pid does not exist)
proc_state() {
    local s
    { s=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
    s=${s##*) }
    set -- $s
    printf '%s %s %s\n' "$1" "$2" "$3"
}

# alive PID: exists and is not a zombie (pitfall 11: kill -0 succeeds on zombies)
alive() {
    local st
    st=$(proc_state "$1") || return 1
    [[ ${st%% *} != Z ]]
}

# pid_of postfix|dovecot -> prints the master's pid if its pid file names a live process of that kind
pid_of() {
    local file comm pid
    case $1 in
        postfix) file=$PF_PIDFILE comm=master ;;
        dovecot) file=$DC_PIDFILE comm=dovecot ;;
    esac
    [[ -r $file ]] || return 1
    read -r pid <"$file" 2>/dev/null || return 1
    pid=${pid//[^0-9]/}
    [[ -n $pid ]] && alive "$pid" || return 1
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == "$comm" ]] || return 1
    echo "$pid"
}

# group_members PGID -> pids (not zombies) whose process group is PGID
group_members() {
    local f s pid
    for f in /proc/[0-9]*/stat; do
        { s=$(<"$f"); } 2>/dev/null || continue
        pid=${f#/proc/}; pid=${pid%/stat}
        s=${s##*) }
        set -- $s
        [[ $3 == "$PGID_WANTED" ]] || continue
        [[ $1 != Z || -n ${WITH_ZOMBIES:-} ]] && echo "$pid"
    done
}
members_of() { PGID_WANTED=$1 group_members; }
# every pid of the group, zombies included (a zombie stays until init reaps it)
all_members_of() { PGID_WANTED=$1 WITH_ZOMBIES=1 group_members; }

# probe PORT PREFIX: connect to 127.0.0.1:PORT and check that the greeting starts with PREFIX
probe() {
    local fd line
    { exec {fd}<>"/dev/tcp/$HOST/$1"; } 2>/dev/null || return 1
    if ! IFS= read -r -t 3 line <&"$fd"; then exec {fd}>&-; return 1; fi
    printf 'QUIT\r\n' 1>&"$fd" 2>/dev/null
    IFS= read -r -t 1 _ <&"$fd" 2>/dev/null
    exec {fd}>&-
    GREETING=${line%$'\r'}
    [[ $line == "$2"* ]]
}

# ---------------------------------------------------------------- install

pkg_installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]; }

retry3() { local i; for i in 1 2 3; do "$@" && return 0; (( i < 3 )) && sleep 2; done; return 1; }

cmd_install() {
    local t0 missing="" p
    t0=$(now_us)
    command -v dpkg-query >/dev/null || die 2 "cannot install: no dpkg here (Debian/Ubuntu only)"
    for p in $PKGS; do pkg_installed "$p" || missing+=" $p"; done
    if [[ ${MAILSTACK_CLIENTS:-1} != 0 ]]; then
        for p in $CLIENT_PKGS; do pkg_installed "$p" || missing+=" $p"; done
    fi
    missing=${missing# }
    if [[ -z $missing ]] && id -u "$VMAIL" >/dev/null 2>&1; then
        say "already installed ($PKGS; user $VMAIL) in $(elapsed "$t0") s"
        return 0
    fi
    [[ $(id -u) == 0 ]] || die 2 "cannot install: not root (missing:${missing:- none} user $VMAIL)"

    if [[ -n $missing ]]; then
        command -v apt-get >/dev/null || die 2 "cannot install: no apt-get"
        mkdir -p "$D/log" || die 1 "cannot create $D/log"
        local aptlog=$D/log/apt.log guard=""
        : >"$aptlog"
        # Pitfall 1: no stock service may start (Debian's dovecot would listen on *:110 and *:995).
        printf '%s\n' 'postfix postfix/main_mailer_type select No configuration' \
                      "postfix postfix/mailname string mail.$DOMAIN" | debconf-set-selections \
            || die 1 "debconf-set-selections failed"
        if [[ ! -e /usr/sbin/policy-rc.d ]]; then
            printf '#!/bin/sh\n# written by mailstack.sh install, removed after it\nexit 101\n' >/usr/sbin/policy-rc.d
            chmod 755 /usr/sbin/policy-rc.d
            guard=/usr/sbin/policy-rc.d
            trap 'rm -f /usr/sbin/policy-rc.d' EXIT
        fi
        export DEBIAN_FRONTEND=noninteractive
        local rc=0
        if [[ ${MAILSTACK_APT_UPDATE:-1} != 0 ]]; then
            say "apt-get update ..."
            retry3 apt-get -q update >>"$aptlog" 2>&1 || rc=$?
        fi
        if (( rc == 0 )); then
            say "apt-get install $missing ..."
            retry3 apt-get -q -y install --no-install-recommends \
                -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
                $missing >>"$aptlog" 2>&1 || rc=$?
        fi
        if [[ -n $guard ]]; then rm -f "$guard"; trap - EXIT; fi
        if (( rc != 0 )); then
            tail -n 15 "$aptlog" >&2
            die 2 "cannot install $missing (apt failed; no package mirror?); full log: $aptlog"
        fi
        for p in $PKGS; do pkg_installed "$p" || die 1 "$p still not installed after apt-get; see $aptlog"; done
    fi
    # Pitfall 10: mail is owned by a system user with a real uid (not root).
    if ! id -u "$VMAIL" >/dev/null 2>&1; then
        useradd --system --user-group --no-create-home --home-dir /nonexistent \
            --shell /usr/sbin/nologin "$VMAIL" || die 1 "useradd $VMAIL failed"
    fi
    say "installed in $(elapsed "$t0") s (${missing:-no packages}; user $VMAIL uid $(id -u "$VMAIL"))"
}

# ---------------------------------------------------------------- configuration

# put FILE MODE OWNER:GROUP < content. Writes only when the content changed, and dates the file
# 10 s back: Postfix pauses 2.4 s while main.cf is "hot" (pitfall 3).
put() {
    local f=$1 mode=$2 own=$3 tmp
    tmp=$(mktemp "$f.XXXXXX") || die 1 "cannot write $f"
    cat >"$tmp"
    if [[ -f $f ]] && cmp -s "$tmp" "$f"; then
        rm -f "$tmp"
    else
        mv -f "$tmp" "$f" && touch -d '10 seconds ago' "$f" || die 1 "cannot write $f"
    fi
    chmod "$mode" "$f" && chown "$own" "$f" || die 1 "cannot set owner/mode of $f"
}

write_config() {
    local vuid=$1 vgid=$2 u name pass
    local dom_re=${DOMAIN//./\\.}

    put "$PF_CONF/main.cf" 0644 root:root <<EOF
# Generated by mailstack.sh - a private Postfix instance (postfix -c $PF_CONF).
compatibility_level = 3.6
queue_directory = $D/spool/postfix
data_directory = $D/lib/postfix
mail_owner = postfix
setgid_group = postdrop
# Pitfall 7: no syslog here; postlogd writes the log, under an allowed prefix.
maillog_file = $D/log/postfix.log
maillog_file_prefixes = $D
myhostname = mail.$DOMAIN
mydomain = $DOMAIN
myorigin = \$mydomain
inet_interfaces = $HOST, [::1]
inet_protocols = ipv4, ipv6
# Loopback is NOT a trusted relay client: unauthenticated mail is accepted for @$DOMAIN only,
# other domains get "554 5.7.1 Relay access denied" until the client has authenticated.
mynetworks =
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
smtpd_banner = \$myhostname ESMTP Postfix (mailstack)
biff = no
append_dot_mydomain = no
# Pitfall 9: no DNS anywhere: no reverse lookups of clients, no outbound delivery.
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
default_transport = error:outbound delivery disabled by mailstack
relay_transport = error:outbound delivery disabled by mailstack
in_flow_delay = 0
# The volume test holds 128 sessions from this one client at once: room for
# them (defaults: 100 processes per service, 50 connections per client).
default_process_limit = 200
smtpd_client_connection_count_limit = 200
# Pitfall 8: deliver what the client sent (no added Date:/Message-ID:/From:, no address rewriting).
local_header_rewrite_clients =
# Test domain: Maildir delivery by virtual(8); unknown users get "550 5.1.1".
virtual_mailbox_domains = $DOMAIN
virtual_mailbox_base = $D/mail
virtual_mailbox_maps = texthash:$PF_CONF/vmailbox
virtual_alias_maps = texthash:$PF_CONF/valias, regexp:$PF_CONF/valias.regexp
# Pitfall 2: the default (\$virtual_alias_maps) would make $DOMAIN an alias-only domain.
virtual_alias_domains =
# Pitfall 10: uids.
virtual_minimum_uid = $vuid
virtual_uid_maps = static:$vuid
virtual_gid_maps = static:$vgid
# SMTP AUTH through Dovecot's auth socket, offered without TLS.
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = $D/run/dovecot/auth-client
smtpd_sasl_security_options = noanonymous
smtpd_sasl_authenticated_header = yes
# The bearer mechanisms are announced on the bearer listener only, so every
# other listener offers what Dovecot lists by default: PLAIN LOGIN CRAM-MD5.
smtpd_sasl_mechanism_filter = !xoauth2, !oauthbearer, static:all
# TLS: STARTTLS offered on every port (AUTH still offered without it, except where a
# service below says otherwise). The key file is root's; smtpd reads it before it drops privileges.
smtpd_tls_security_level = may
smtpd_tls_chain_files = $D/tls/server.key, $D/tls/server-chain.pem
smtpd_tls_auth_only = no
smtpd_tls_loglevel = 1
smtpd_relay_restrictions = permit_mynetworks, permit_sasl_authenticated, reject_unauth_destination
EOF

    put "$PF_CONF/master.cf" 0644 root:root <<EOF
# Generated by mailstack.sh. Nothing is chrooted (the instance lives outside /var/spool/postfix).
# service type  private unpriv  chroot  wakeup  maxproc command + args
$HOST:$SMTP_PORT inet n - n - - smtpd
[::1]:$SMTP_PORT inet n - n - - smtpd
$HOST:$SUB_PORT inet n - n - - smtpd
  -o syslog_name=postfix/submission
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$TLS_SUB_PORT inet n - n - - smtpd
  -o syslog_name=postfix/tlssubmission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_mechanism_filter=login
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$SMTPS_PORT inet n - n - - smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_mechanism_filter=cram-md5
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$CRAM_PORT inet n - n - - smtpd
  -o syslog_name=postfix/cram
  -o smtpd_sasl_mechanism_filter=cram-md5
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$LOGIN_PORT inet n - n - - smtpd
  -o syslog_name=postfix/login
  -o smtpd_sasl_mechanism_filter=login
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$PLAINLOGIN_PORT inet n - n - - smtpd
  -o syslog_name=postfix/plainlogin
  -o smtpd_sasl_mechanism_filter=plain,login
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$HOST:$BEARER_PORT inet n - n - - smtpd
  -o syslog_name=postfix/bearer
  -o smtpd_sasl_mechanism_filter=xoauth2,oauthbearer
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF

    for name in $(user_names); do
        printf '%s@%s\t%s/%s/\n' "$name" "$DOMAIN" "$DOMAIN" "$name"
    done | put "$PF_CONF/vmailbox" 0644 root:root
    printf 'postmaster@%s\t%s@%s\n' "$DOMAIN" "$SINK" "$DOMAIN" | put "$PF_CONF/valias" 0644 root:root
    # For an authenticated client every non-local recipient goes to sink (nothing leaves the machine).
    printf '!/@%s$/\t%s@%s\n' "$dom_re" "$SINK" "$DOMAIN" | put "$PF_CONF/valias.regexp" 0644 root:root

    put "$D/etc/dovecot/dovecot.conf" 0644 root:root <<EOF
# Generated by mailstack.sh - standalone Dovecot (dovecot -c $DC_CONF); /etc/dovecot is not read.
protocols = pop3 imap
listen = $HOST, ::1
base_dir = $D/run/dovecot
state_dir = $D/lib/dovecot
instance_name = mailstack
log_path = $D/log/dovecot.log
ssl = yes
ssl_cert = <$D/tls/server-chain.pem
ssl_key = <$D/tls/server.key
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
# apop needs the plaintext password, cram-md5 too: hence {PLAIN} in the passwd-file.
auth_mechanisms = plain login apop cram-md5 xoauth2 oauthbearer
# "alice" and "alice@$DOMAIN" are the same user.
auth_default_realm = $DOMAIN
# Pitfall 5: no 2 s failure delay, no anvil auth penalty (shared by POP3 and Postfix's SMTP AUTH).
auth_failure_delay = 0
auth_verbose = yes
first_valid_uid = $vuid
mail_location = maildir:$D/mail/%d/%n
pop3_uidl_format = %08Xu%08Xv
# OAuth 2.0 bearer tokens, checked locally: the XOAUTH2 and OAUTHBEARER
# mechanisms hand the token to the passdb as the password, and this passdb
# (for those two only) holds each user's fixed token. A token is no password
# for the other mechanisms, nor a password a token.
passdb {
  driver = passwd-file
  mechanisms = xoauth2 oauthbearer
  args = scheme=PLAIN username_format=%u $D/etc/dovecot/tokens
}
passdb {
  driver = passwd-file
  mechanisms = plain login apop cram-md5
  args = scheme=PLAIN username_format=%u $D/etc/dovecot/users
}
# allow_all_users: doveadm's user lookups (the tests read mailboxes with it) need no passdb, which
# answers only for the login mechanisms above.
userdb {
  driver = static
  args = uid=$vuid gid=$vgid home=$D/mail/%d/%n allow_all_users=yes
}
service pop3-login {
  inet_listener pop3 {
    address = $HOST, ::1
    port = $POP3_PORT
  }
  inet_listener pop3s {
    address = $HOST
    port = $POP3S_PORT
  }
}
# 128 IMAP sessions of one user at once (the library's many-channel test).
protocol imap {
  mail_max_userip_connections = 300
}
service imap {
  process_limit = 300
}
service imap-login {
  process_limit = 300
  inet_listener imap {
    address = $HOST, ::1
    port = $IMAP_PORT
  }
  inet_listener imaps {
    address = $HOST
    port = $IMAPS_PORT
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
# Postfix's smtpd (user postfix) authenticates SMTP clients through this socket.
service auth {
  unix_listener auth-client {
    mode = 0660
    user = postfix
    group = postfix
  }
}
EOF

    for u in $USERS; do
        name=${u%%:*} pass=${u#*:}
        printf '%s@%s:{PLAIN}%s::::::nodelay=yes\n' "$name" "$DOMAIN" "$pass"
    done | put "$D/etc/dovecot/users" 0640 root:dovecot
    for u in $USERS; do
        name=${u%%:*}
        printf '%s@%s:{PLAIN}%s-token-%0300d::::::nodelay=yes\n' "$name" "$DOMAIN" "$name" 0
    done | put "$D/etc/dovecot/tokens" 0640 root:dovecot

    print_env | put "$D/mailstack.env" 0644 root:root
}

# The test PKI, once: a CA and a server certificate signed by it (tests/fixtures/make_test_pki.sh).
make_tls() {
    [[ -s $D/tls/ca.pem && -s $D/tls/server-chain.pem && -s $D/tls/server.key ]] && return 0
    command -v openssl >/dev/null || { warn "no openssl program"; return 1; }
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    rm -rf "$D/tls" && mkdir -p "$D/tls" || return 1
    bash "$here/../fixtures/make_test_pki.sh" "$D/tls" >/dev/null || return 1
    chmod 0755 "$D/tls" && chmod 0644 "$D/tls"/*.pem && chmod 0600 "$D/tls"/*.key
}

# ---------------------------------------------------------------- start / stop

need_installed() {
    [[ -x /usr/sbin/postfix && -x /usr/sbin/dovecot && -x /usr/lib/dovecot/pop3 && -x /usr/lib/dovecot/imap ]] \
        || die 2 "postfix/dovecot are not installed: run '$0 install' first"
    local who
    for who in postfix "$VMAIL"; do id -u "$who" >/dev/null 2>&1 || die 2 "no user $who: run '$0 install' first"; done
    for who in postdrop dovecot; do getent group "$who" >/dev/null || die 2 "no group $who: run '$0 install' first"; done
}

log_tails() {
    local f
    for f in "$D/log/dovecot.stderr" "$D/log/dovecot.log" "$D/log/postfix.stderr" "$D/log/postfix.log"; do
        [[ -s $f ]] || continue
        printf -- '--- tail of %s\n' "$f" >&2
        tail -n 8 "$f" >&2
    done
}

wait_ready() { # deadline_us -> 0 when all three greetings arrived
    local deadline=$1 pop=0 smtp=0 sub=0 imap=0
    while :; do
        (( pop ))  || { probe "$POP3_PORT" '+OK' && pop=1; }
        (( imap )) || { probe "$IMAP_PORT" '* OK' && imap=1; }
        (( smtp )) || { probe "$SMTP_PORT" '220 ' && smtp=1; }
        (( sub ))  || { probe "$SUB_PORT" '220 ' && sub=1; }
        (( pop && smtp && sub && imap )) && return 0
        (( $(now_us) < deadline )) || break
        sleep 0.02
    done
    (( pop ))  || warn "no POP3 greeting on $HOST:$POP3_PORT"
    (( imap )) || warn "no IMAP greeting on $HOST:$IMAP_PORT"
    (( smtp )) || warn "no SMTP greeting on $HOST:$SMTP_PORT"
    (( sub ))  || warn "no SMTP greeting on $HOST:$SUB_PORT"
    return 1
}

cmd_start() {
    local t0 vuid vgid pfuid name started="" pf dc rc
    t0=$(now_us)
    validate
    [[ $(id -u) == 0 ]] || die 2 "start needs root (Postfix and Dovecot run their masters as root)"
    need_installed
    vuid=$(id -u "$VMAIL") vgid=$(id -g "$VMAIL") pfuid=$(id -u postfix)

    mkdir -p "$D" && chown root:root "$D" && chmod 0755 "$D" || die 1 "cannot create $D"
    mkdir -p "$PF_CONF" "$D/etc/dovecot" "$D/spool" "$D/lib" "$D/run" "$D/log" "$D/mail/$DOMAIN" \
        || die 1 "cannot create the tree under $D"
    chmod 0755 "$D/etc" "$PF_CONF" "$D/etc/dovecot" "$D/spool" "$D/lib" "$D/run" "$D/log"

    pf=$(pid_of postfix) || pf=""
    dc=$(pid_of dovecot) || dc=""

    # Pitfall 10: a reinstall may hand out a new postfix uid: recreate a queue it no longer owns.
    if [[ -z $pf && -d $D/spool/postfix/active && $(stat -c %u "$D/spool/postfix/active") != "$pfuid" ]]; then
        say "postfix uid changed: recreating the queue"
        rm -rf "$D/spool/postfix" "$D/lib/postfix"
    fi
    mkdir -p "$D/spool/postfix" "$D/lib/postfix" "$D/lib/dovecot" && chown postfix:root "$D/lib/postfix" && chmod 0700 "$D/lib/postfix" \
        || die 1 "cannot create $D/lib/postfix"

    exec 9>"$D/.lock" && flock -w 60 9 || die 1 "another mailstack.sh holds $D/.lock"

    make_tls || die 1 "cannot make the TLS certificates under $D/tls"
    write_config "$vuid" "$vgid"

    for name in $(user_names); do
        mkdir -p "$D/mail/$DOMAIN/$name/cur" "$D/mail/$DOMAIN/$name/new" "$D/mail/$DOMAIN/$name/tmp" \
            || die 1 "cannot create the Maildir of $name"
    done
    chown -R "$vuid:$vgid" "$D/mail" && chmod 0755 "$D/mail" "$D/mail/$DOMAIN" || die 1 "cannot chown $D/mail"

    # Dovecot first: Postfix's smtpd authenticates through its auth-client socket.
    if [[ -n $dc ]]; then
        kill -HUP "$dc"
    else
        rm -f "$D/run/dovecot/anvil-auth-penalty"     # pitfall 6: stale socket = 5 s stall
        # Pitfall 4: the master keeps the stdio it was started with; never hand it a pipe.
        /usr/sbin/dovecot -c "$DC_CONF" </dev/null >>"$D/log/dovecot.stderr" 2>&1 9>&-
        rc=$?
        if (( rc != 0 )); then log_tails; die 1 "dovecot failed to start (exit $rc)"; fi
        started+=" dovecot"
    fi
    if [[ -n $pf ]]; then
        /usr/sbin/postfix -c "$PF_CONF" reload </dev/null >>"$D/log/postfix.stderr" 2>&1 9>&-
    else
        [[ -d $D/spool/postfix/active ]] && touch "$D/spool/postfix/quick-start"
        /usr/sbin/postfix -c "$PF_CONF" start </dev/null >>"$D/log/postfix.stderr" 2>&1 9>&-
        rc=$?
        if (( rc != 0 )); then
            log_tails
            [[ $started == *dovecot* ]] && cmd_stop >/dev/null
            die 1 "postfix failed to start (exit $rc)"
        fi
        started+=" postfix"
    fi

    if ! wait_ready $(( $(now_us) + ${MAILSTACK_START_TIMEOUT:-15} * 1000000 )); then
        log_tails
        [[ -n $started ]] && cmd_stop >/dev/null
        die 1 "the servers did not answer within ${MAILSTACK_START_TIMEOUT:-15} s"
    fi
    exec 9>&-
    local what=started
    [[ -z $started ]] && what=reloaded
    say "$what in $(elapsed "$t0") s: smtp $HOST:$SMTP_PORT (AUTH optional), submission $HOST:$SUB_PORT (AUTH required), pop3 $HOST:$POP3_PORT; TLS: smtps $SMTPS_PORT, starttls-submission $TLS_SUB_PORT, pop3s $POP3S_PORT; imap $IMAP_PORT, imaps $IMAPS_PORT; domain $DOMAIN; users $(echo $(user_names)); dir $D"
}

cmd_stop() {
    local t0 pf dc pids="" groups="" p pg deadline left
    t0=$(now_us)
    pf=$(pid_of postfix) || pf=""
    dc=$(pid_of dovecot) || dc=""
    if [[ -z $pf && -z $dc ]]; then
        say "not running ($D)"
        return 0
    fi
    local mypg
    mypg=$(proc_state $$ | cut -d' ' -f3)
    for p in $pf $dc; do
        pids+=" $p"
        pg=$(proc_state "$p" | cut -d' ' -f3)
        # both masters detach into a session of their own; never touch our own group
        [[ $pg == "$p" && $pg != "$mypg" ]] && groups+=" $pg"
    done
    kill -TERM $pids 2>/dev/null     # both at once (pitfall 11: sequential stops cost seconds)
    deadline=$(( $(now_us) + 10000000 ))
    while :; do
        left=""
        for p in $pids; do alive "$p" && left+=" $p"; done
        for pg in $groups; do left+=" $(members_of "$pg" | tr '\n' ' ')"; done
        left=$(echo $left)
        [[ -z $left ]] && break
        if (( $(now_us) >= deadline )); then
            warn "still running after 10 s: $left; sending SIGKILL"
            kill -KILL $left 2>/dev/null
            for pg in $groups; do kill -KILL -- "-$pg" 2>/dev/null; done
            sleep 0.2
            break
        fi
        sleep 0.02
    done
    rm -f "$PF_PIDFILE" "$DC_PIDFILE"
    local t_stop
    t_stop=$(elapsed "$t0")
    # Pitfall 11: the masters and their children stay zombies until init reaps them (up to ~2 s
    # here). Wait for that too, so that `ps` right after a stop shows nothing of ours
    # (MAILSTACK_STOP_REAP=0: return as soon as nothing runs any more).
    if [[ ${MAILSTACK_STOP_REAP:-1} != 0 ]]; then
        deadline=$(( $(now_us) + 5000000 ))
        while :; do
            left=""
            for p in $pids; do [[ -e /proc/$p ]] && left+=" $p"; done
            for pg in $groups; do left+=" $(all_members_of "$pg" | tr '\n' ' ')"; done
            [[ -z ${left// /} ]] && break
            (( $(now_us) < deadline )) || { warn "zombies not reaped yet:$left"; break; }
            sleep 0.05
        done
    fi
    say "stopped in $t_stop s, all reaped after $(elapsed "$t0") s (${pf:+postfix $pf }${dc:+dovecot $dc})"
}

cmd_status() {
    local pf dc up=0 n=0
    pf=$(pid_of postfix) || pf=""
    dc=$(pid_of dovecot) || dc=""
    if [[ -n $pf ]] && probe "$SMTP_PORT" '220 ' && probe "$SUB_PORT" '220 '; then
        say "postfix running (pid $pf): $HOST:$SMTP_PORT and $HOST:$SUB_PORT say: $GREETING"; up=$((up + 1))
    else
        say "postfix ${pf:+pid $pf but }not answering on $HOST:$SMTP_PORT/$SUB_PORT"
    fi
    if [[ -n $dc ]] && probe "$POP3_PORT" '+OK'; then
        say "dovecot running (pid $dc): $HOST:$POP3_PORT says: ${GREETING%% <*}"; up=$((up + 1))
    else
        say "dovecot ${dc:+pid $dc but }not answering on $HOST:$POP3_PORT"
    fi
    [[ -n $pf ]] && n=$((n + 1))
    [[ -n $dc ]] && n=$((n + 1))
    (( up == 2 )) && return 0
    (( up == 0 && n == 0 )) && return 3
    return 1
}

cmd_reset() {
    local dirs=() name box n=0
    if (( $# )); then
        for name in "$@"; do dirs+=("$D/mail/$DOMAIN/$name"); done
    else
        for box in "$D"/mail/*/*/; do [[ -d $box ]] && dirs+=("${box%/}"); done
    fi
    if [[ -n $(pid_of postfix) ]]; then   # drop mail still in the queue
        /usr/sbin/postsuper -c "$PF_CONF" -d ALL </dev/null >/dev/null 2>&1
    fi
    for box in "${dirs[@]}"; do
        [[ -d $box ]] || { warn "no mailbox $box"; continue; }
        find "$box/cur" "$box/new" "$box/tmp" -mindepth 1 -maxdepth 1 -type f -delete 2>/dev/null
        find "$box" -mindepth 1 -maxdepth 1 -name 'dovecot*' -type f -delete 2>/dev/null
        n=$((n + 1))
    done
    say "reset $n mailbox(es) under $D/mail"
}

# ---------------------------------------------------------------- selftest (curl)

cmd_selftest() {
    command -v curl >/dev/null || die 1 "selftest needs curl"
    cmd_status >/dev/null || die 1 "the stack is not running"
    local fails=0 tok msg out a_pw b_pw u
    for u in $USERS; do
        case ${u%%:*} in alice) a_pw=${u#*:} ;; bob) b_pw=${u#*:} ;; esac
    done
    [[ -n ${a_pw:-} && -n ${b_pw:-} ]] || die 1 "selftest needs the users alice and bob"
    tok="selftest-$$-$RANDOM"
    msg=$(mktemp)
    printf 'From: alice@%s\r\nTo: bob@%s\r\nSubject: %s\r\n\r\nbody %s\r\n' "$DOMAIN" "$DOMAIN" "$tok" "$tok" >"$msg"
    check() { # description expected(ok|fail) command...
        local what=$1 want=$2; shift 2
        if "$@" >/dev/null 2>&1; then got=ok; else got=fail; fi
        if [[ $got == "$want" ]]; then say "ok   $what"; else say "FAIL $what (got $got)"; fails=$((fails + 1)); fi
    }
    local smtp="smtp://$HOST:$SMTP_PORT" sub="smtp://$HOST:$SUB_PORT" pop="pop3://$HOST:$POP3_PORT"
    local c=(curl -sS --max-time 10) n0
    count_msgs() { awk '/^[0-9]/ { n++ } END { print n + 0 }'; }   # LIST lines (an empty LIST is a blank line)
    n0=$(curl -sS --max-time 5 -u "bob:$b_pw" "$pop/" | count_msgs) || die 1 "pop3 LIST for bob failed"
    check "smtp $SMTP_PORT no AUTH to bob" ok "${c[@]}" "$smtp" --mail-from "alice@$DOMAIN" --mail-rcpt "bob@$DOMAIN" -T "$msg"
    local mech
    for mech in CRAM-MD5 LOGIN PLAIN; do
        check "smtp $SUB_PORT AUTH $mech to bob" ok "${c[@]}" "$sub" --login-options "AUTH=$mech" \
            -u "alice@$DOMAIN:$a_pw" --mail-from "alice@$DOMAIN" --mail-rcpt "bob@$DOMAIN" -T "$msg"
    done
    check "smtp $SUB_PORT AUTH, other domain goes to sink" ok "${c[@]}" "$sub" --login-options AUTH=CRAM-MD5 \
        -u "alice@$DOMAIN:$a_pw" --mail-from "alice@$DOMAIN" --mail-rcpt "someone@elsewhere.invalid" -T "$msg"
    check "smtp $SUB_PORT wrong password refused" fail "${c[@]}" "$sub" --login-options AUTH=CRAM-MD5 \
        -u "alice@$DOMAIN:wrong" --mail-from "alice@$DOMAIN" --mail-rcpt "bob@$DOMAIN" -T "$msg"
    check "smtp $SUB_PORT without AUTH refused" fail "${c[@]}" "$sub" --mail-from "alice@$DOMAIN" --mail-rcpt "bob@$DOMAIN" -T "$msg"
    check "smtp $SMTP_PORT relay without AUTH refused" fail "${c[@]}" "$smtp" --mail-from "alice@$DOMAIN" --mail-rcpt "x@elsewhere.invalid" -T "$msg"
    check "smtp $SMTP_PORT unknown user refused" fail "${c[@]}" "$smtp" --mail-from "alice@$DOMAIN" --mail-rcpt "nobody@$DOMAIN" -T "$msg"
    local i n=0
    for i in $(seq 100); do
        n=$(curl -sS --max-time 5 -u "bob:$b_pw" "$pop/" 2>/dev/null | count_msgs)
        (( n >= n0 + 4 )) && break
        sleep 0.05
    done
    if (( n >= n0 + 4 )); then say "ok   pop3 LIST (SASL): bob has $n messages"; else say "FAIL pop3 LIST: bob has $n messages"; fails=$((fails + 1)); fi
    check "pop3 APOP UIDL" ok "${c[@]}" --login-options 'AUTH=+APOP' -u "bob:$b_pw" "$pop/" -X UIDL
    out=$("${c[@]}" --login-options AUTH=LOGIN -u "bob@$DOMAIN:$b_pw" "$pop/$n" 2>&1)
    if [[ $out == *"$tok"* ]]; then say "ok   pop3 RETR $n has the token"; else say "FAIL pop3 RETR $n"; fails=$((fails + 1)); fi
    check "pop3 wrong password refused" fail "${c[@]}" --login-options 'AUTH=+APOP' -u "bob:wrong" "$pop/"
    rm -f "$msg"
    (( fails == 0 )) || die 1 "selftest: $fails check(s) failed"
    say "selftest passed"
}

# ---------------------------------------------------------------- main

cmd=${1:-}
shift || true
case $cmd in
    install)  load_settings; cmd_install ;;
    start)    load_settings; cmd_start ;;
    stop)     load_settings saved; cmd_stop ;;
    restart)  load_settings; cmd_stop && cmd_start ;;
    status)   load_settings saved; cmd_status ;;
    reset)    load_settings saved; cmd_reset "$@" ;;
    env)      load_settings saved; validate; print_env ;;
    selftest) load_settings saved; cmd_selftest ;;
    *)        sed -n '2,/^$/{s/^# \{0,1\}//;p}' "$0" >&2; exit 1 ;;
esac
