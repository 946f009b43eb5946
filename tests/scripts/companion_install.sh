#!/bin/bash
# `cmake --install --prefix P` lays out both commands, the man pages, the
# example files and the systemd units where `systemctl --user` finds them,
# with the services naming P's program; the units and the per-account
# templates pass systemd-analyze verify; --strip leaves no debugging data.
set -euo pipefail
B=${VOXAFAX_BINARY_DIR:?}
[ -x "$B/voxafax" ] && [ -x "$B/voxafax-print" ] || { echo "build voxafax and voxafax-print first"; exit 77; }
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
# The README's install: --prefix ~/.local, here of a home with a blank in it.
H="$W/home with blank"
P="$H/.local"
cmake --install "$B" --prefix "$P" >"$W/install.log" 2>&1 || { cat "$W/install.log"; exit 1; }
# Staged installs (packagers) keep the final prefix in the unit.
DESTDIR="$W/stage" cmake --install "$B" --prefix /usr/local >>"$W/install.log" 2>&1
cmake --install "$B" --prefix "$W/stripped" --strip >>"$W/install.log" 2>&1

fail=0
check() { if ! eval "$1"; then echo "FAILED: $1"; fail=1; fi; }
U="$P/share/systemd/user"
for f in bin/voxafax-print bin/voxafax; do check "[ -x \"\$P/$f\" ]"; done
for f in share/man/man1/voxafax-print.1 share/man/man1/voxafax.1 \
         share/doc/voxafax-print/USING.md \
         share/doc/voxafax-print/examples/voxafax.ini share/doc/voxafax-print/examples/stores.ini \
         share/doc/voxafax-print/examples/printers.ini share/doc/voxafax-print/examples/options.ini \
         share/systemd/user/voxafax-print.service share/systemd/user/voxafax-print.timer \
         share/systemd/user/voxafax-print@.service share/systemd/user/voxafax-print@.timer \
         share/systemd/user/voxafax-web.socket share/systemd/user/voxafax-web.service; do
  check "[ -s \"\$P/$f\" ]"
done
# systemctl --user searches these folders for ~/.local and for /usr/local.
paths=$(HOME="$H" env -u XDG_DATA_HOME -u XDG_DATA_DIRS -u XDG_CONFIG_HOME \
        systemd-analyze --user unit-paths 2>/dev/null || true)
if [ -n "$paths" ]; then
  check "grep -qxF \"\$U\" <<<\"\$paths\""
  check "grep -qxF /usr/local/share/systemd/user <<<\"\$paths\""
fi
for svc in "$U/voxafax-print.service" "$U/voxafax-print@.service"; do
  check "grep -qxF 'ExecStart=\"$P/bin/voxafax-print\" /0' \"$svc\""
  check "grep -qx 'Type=oneshot' \"$svc\""
  check "grep -qx 'TimeoutStartSec=30min' \"$svc\""
  check "grep -qx 'MemoryMax=1G' \"$svc\""
  check "! grep -q '@[A-Z_]*@' \"$svc\""
done
# Each account of the template has a profile and a program folder of its own.
check "grep -qx 'Environment=VOXAFAX_PROFILE=%h/.config/voxafax/%i/voxafax.ini' \"\$U/voxafax-print@.service\""
check "grep -qx 'Environment=VOXAFAX_HOME=%h/.local/share/voxafax/%i' \"\$U/voxafax-print@.service\""
for tmr in "$U/voxafax-print.timer" "$U/voxafax-print@.timer"; do
  check "grep -qx 'Persistent=true' \"$tmr\""
  check "grep -qx 'OnCalendar=\*:0/5' \"$tmr\""
  check "grep -qx 'RandomizedDelaySec=60' \"$tmr\""
  check "grep -qx 'WantedBy=timers.target' \"$tmr\""
done
check "grep -qx 'ExecStart=/usr/local/bin/voxafax-print /0' \"\$W/stage/usr/local/share/systemd/user/voxafax-print.service\""
# The pages: a loopback socket that starts the installed companion.
check "grep -qxF 'ExecStart=\"$P/bin/voxafax\" web' \"\$U/voxafax-web.service\""
check "grep -qx 'ListenStream=127.0.0.1:8786' \"\$U/voxafax-web.socket\""
check "grep -qx 'WantedBy=sockets.target' \"\$U/voxafax-web.socket\""
check "[ -x \"\$W/stage/usr/local/bin/voxafax\" ]"
# The install manifest lists the units, so they can be removed again.
check "grep -q 'share/systemd/user/voxafax-print@.timer' \"\$B/install_manifest.txt\""
# --strip: the installed programs carry no symbols or debugging data.
for f in voxafax voxafax-print; do
  check "! readelf -S \"\$W/stripped/bin/$f\" | grep -qE '\.(debug_info|symtab)'"
done

# The man pages format without warnings.
if command -v groff >/dev/null; then
  for m in voxafax-print voxafax; do
    out=$(groff -man -Tutf8 -ww "$P/share/man/man1/$m.1" 2>&1 >/dev/null)
    check "[ -z \"\$out\" ]" || echo "$out"
  done
fi
# The units are valid where systemd can check them: the plain pair, the
# templates, and an instance of them. (System mode: a user manager needs a
# session this test may not have.)
if command -v systemd-analyze >/dev/null; then
  mkdir "$W/instance"
  cp "$U/voxafax-print@.service" "$W/instance/voxafax-print@acme.service"
  cp "$U/voxafax-print@.timer" "$W/instance/voxafax-print@acme.timer"
  verify() {
    out=$(systemd-analyze verify --man=no "$@" 2>&1) || true
    check "[ -z \"\$out\" ]" || echo "$out"
  }
  verify "$U/voxafax-print.service" "$U/voxafax-print.timer"
  verify "$U/voxafax-print@.service" "$U/voxafax-print@.timer"
  verify "$W/instance/voxafax-print@acme.service" "$W/instance/voxafax-print@acme.timer"
  verify "$U/voxafax-web.socket" "$U/voxafax-web.service"
fi

# The installed companion finds the installed program beside itself.
export VOXAFAX_HOME="$W/vhome" VOXAFAX_PROFILE="$W/cfg/voxafax.ini" CUPS_SERVER="$W/no-cups.sock"
check "\"\$P/bin/voxafax\" --help | grep -q 'voxafax COMMAND'"
check "\"\$P/bin/voxafax\" status | grep -q 'not running'"
exit $fail
