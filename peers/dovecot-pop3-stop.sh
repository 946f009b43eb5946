#!/bin/bash
# Stops the Dovecot that dovecot-pop3-start.sh (or dovecot-submission-start.sh)
# started with this STATE_DIR: SIGTERM to its master, which ends all of its
# children.
exec "$(dirname "$0")/stop-pidfile.sh" "${1:?usage: $0 STATE_DIR}/dovecot.pid"
