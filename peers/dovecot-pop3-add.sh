#!/bin/bash
# Drops message files into a Maildir the way a delivery agent does: into
# tmp/, readable by Dovecot's user, then renamed into new/.
#   dovecot-pop3-add.sh MAILDIR FILE...
set -euo pipefail
MAILDIR=${1:?usage: $0 MAILDIR FILE...}
shift
n=0
for f in "$@"; do
    n=$((n + 1))
    name="$(date +%s).$$.$n.$(basename "$f" | tr ':/' '__')"
    cp "$f" "$MAILDIR/tmp/$name"
    chmod 644 "$MAILDIR/tmp/$name"
    chown mail:mail "$MAILDIR/tmp/$name" 2>/dev/null || true
    mv "$MAILDIR/tmp/$name" "$MAILDIR/new/$name"
done
