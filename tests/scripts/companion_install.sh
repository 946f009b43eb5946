#!/bin/bash
# `cmake --install --prefix P` lays out both commands, the man pages, the
# example files and the systemd units, with the service naming P's program.
set -euo pipefail
B=${VOXAFAX_BINARY_DIR:?}
[ -x "$B/voxafax" ] && [ -x "$B/voxafax-print" ] || { echo "build voxafax and voxafax-print first"; exit 77; }
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
P="$W/prefix with blank"
cmake --install "$B" --prefix "$P" >"$W/install.log" 2>&1 || { cat "$W/install.log"; exit 1; }
# Staged installs (packagers) keep the final prefix in the unit.
DESTDIR="$W/stage" cmake --install "$B" --prefix /opt/vf >>"$W/install.log" 2>&1

fail=0
check() { if ! eval "$1"; then echo "FAILED: $1"; fail=1; fi; }
for f in bin/voxafax-print bin/voxafax; do check "[ -x \"\$P/$f\" ]"; done
for f in share/man/man1/voxafax-print.1 share/man/man1/voxafax.1 \
         share/doc/voxafax-print/USING.md \
         share/doc/voxafax-print/examples/voxafax.ini share/doc/voxafax-print/examples/stores.ini \
         share/doc/voxafax-print/examples/printers.ini share/doc/voxafax-print/examples/options.ini \
         lib/systemd/user/voxafax-print.service lib/systemd/user/voxafax-print.timer; do
  check "[ -s \"\$P/$f\" ]"
done
svc="$P/lib/systemd/user/voxafax-print.service"
check "grep -qxF 'ExecStart=\"$P/bin/voxafax-print\" /0' \"\$svc\""
check "grep -qx 'Type=oneshot' \"\$svc\""
check "! grep -q @ \"\$svc\""
tmr="$P/lib/systemd/user/voxafax-print.timer"
check "grep -qx 'Persistent=true' \"\$tmr\""
check "grep -qx 'OnCalendar=\*:0/5' \"\$tmr\""
check "grep -qx 'WantedBy=timers.target' \"\$tmr\""
check "grep -qx 'ExecStart=/opt/vf/bin/voxafax-print /0' \"\$W/stage/opt/vf/lib/systemd/user/voxafax-print.service\""
check "[ -x \"\$W/stage/opt/vf/bin/voxafax\" ]"
# The install manifest lists the units, so they can be removed again.
check "grep -q 'lib/systemd/user/voxafax-print.timer' \"\$B/install_manifest.txt\""

# The man pages format without warnings.
if command -v groff >/dev/null; then
  for m in voxafax-print voxafax; do
    out=$(groff -man -Tutf8 -ww "$P/share/man/man1/$m.1" 2>&1 >/dev/null)
    check "[ -z \"\$out\" ]" || echo "$out"
  done
fi
# The systemd units are valid where systemd can check them.
# (System mode: a user manager needs a session this test may not have.)
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify --man=no "$svc" "$tmr" 2>&1) || true
  check "[ -z \"\$out\" ]" || echo "$out"
fi

# The installed companion finds the installed program beside itself.
export VOXAFAX_HOME="$W/home" VOXAFAX_PROFILE="$W/cfg/voxafax.ini" CUPS_SERVER="$W/no-cups.sock"
check "\"\$P/bin/voxafax\" --help | grep -q 'voxafax COMMAND'"
check "\"\$P/bin/voxafax\" status | grep -q 'not running'"
exit $fail
