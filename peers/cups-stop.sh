#!/bin/bash
# Stops the cupsd that cups-start.sh started with this STATE_DIR, by its PID.
exec "$(dirname "$0")/stop-pidfile.sh" "${1:?usage: $0 STATE_DIR}/cupsd.pid"
