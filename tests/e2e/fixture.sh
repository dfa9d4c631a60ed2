#!/usr/bin/env bash
# tests/e2e/fixture.sh - the CTest fixture around mailstack.sh (tests mailstack_start / mailstack_stop).
#
#   fixture.sh setup     mailstack.sh install + start; exit 0 = up, 77 = skipped (CTest SKIP_RETURN_CODE), 1 = failed
#   fixture.sh cleanup   mailstack.sh stop (KEL_E2E_KEEP=1 leaves the stack running for the next run)
#
# Where the servers cannot be installed or started (not root, no package mirror, a port taken) the
# setup reports "skipped" and records why in $KEL_E2E_STATE_FILE; every e2e test then skips with that
# reason (exit 77). With KEL_E2E_REQUIRED=1 (CI) the same conditions are failures instead.
#
# The state file holds one line: "up" or "unavailable: REASON". CMake sets KEL_E2E_STATE_FILE for the
# fixture and for the tests; the MAILSTACK_* settings come from the same CTest ENVIRONMENT.

set -u -o pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ms=$here/mailstack.sh
state=${KEL_E2E_STATE_FILE:-${MAILSTACK_DIR:-/tmp/mailstack}.e2e-state}
required=${KEL_E2E_REQUIRED:-0}

unavailable() {
    local reason=$1
    printf 'unavailable: %s\n' "$reason" >"$state" 2>/dev/null
    if [[ $required == 1 ]]; then
        echo "FAILED: e2e mail stack: $reason (KEL_E2E_REQUIRED=1 makes this a failure)"
        exit 1
    fi
    echo "SKIPPED: e2e mail stack: $reason"
    echo "SKIPPED: the e2e tests will be reported as skipped; set KEL_E2E_REQUIRED=1 to make this a failure"
    exit 77
}

case ${1:-} in
    setup)
        rm -f "$state"
        if [[ $(id -u) != 0 ]]; then
            unavailable "needs root (installs Debian packages postfix, dovecot-core, dovecot-pop3d and runs their masters)"
        fi
        bash "$ms" install
        rc=$?
        (( rc == 0 )) || unavailable "cannot install postfix/dovecot (mailstack.sh install exit $rc; no package mirror?)"
        bash "$ms" start
        rc=$?
        (( rc == 0 )) || unavailable "cannot start postfix/dovecot (mailstack.sh start exit $rc; see the log tail above)"
        bash "$ms" status || unavailable "started, but status says the servers do not answer"
        echo up >"$state"
        exit 0
        ;;
    cleanup)
        if [[ ${KEL_E2E_KEEP:-0} == 1 ]]; then
            echo "KEL_E2E_KEEP=1: leaving the mail stack running (stop it with: bash $ms stop)"
            exit 0
        fi
        rm -f "$state"
        bash "$ms" stop
        ;;
    *)
        echo "usage: $0 setup|cleanup" >&2
        exit 2
        ;;
esac
