#!/bin/bash
# Stops the sink that smtp-sink-start.sh started with this STATE_DIR.
exec "$(dirname "$0")/stop-pidfile.sh" "${1:?usage: $0 STATE_DIR}/smtp-sink.pid"
