#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks what it
# installed, then purges it again: the binaries run, the service's user and
# working directory exist with the right owner and mode, systemd accepts the
# unit, and the gateway started as that user in that directory writes its
# first configuration there. Needs root (or sudo); refuses to run where a
# quorvex package or user already exists, so a real installation is never
# touched.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if dpkg-query -W quorvex >/dev/null 2>&1 || getent passwd quorvex >/dev/null; then
  echo "test-package: a quorvex package or user exists here already; not touching it" >&2
  exit 1
fi

deb=$(bash scripts/package.sh)
echo "test-package: $deb"
cleanup() {
  $sudo dpkg --purge quorvex >/dev/null 2>&1 || true
  $sudo rm -rf /var/lib/quorvex
  if getent passwd quorvex >/dev/null; then $sudo deluser --quiet --system quorvex || true; fi
  if getent group quorvex >/dev/null; then $sudo delgroup --quiet quorvex || true; fi
}
trap cleanup EXIT
# dpkg installs no dependencies; the libraries came with the build's, the
# maintainer scripts' adduser may be missing on a minimal machine.
command -v adduser >/dev/null ||
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends adduser
$sudo dpkg -i "$deb"

fail() {
  echo "test-package: $*" >&2
  exit 1
}
revision=$(git rev-parse --short=7 HEAD)
/usr/bin/quorvex version | grep -q "| Build $revision\$" || fail "quorvex version does not show $revision"
/usr/bin/quorvex-smsc-sim --help >/dev/null || fail "quorvex-smsc-sim does not run"
/usr/bin/quorvex-loadgen --help >/dev/null || fail "quorvex-loadgen does not run"
[ "$(stat -c '%a %U %G' /var/lib/quorvex)" = "750 quorvex quorvex" ] ||
  fail "/var/lib/quorvex is $(stat -c '%a %U %G' /var/lib/quorvex)"

if ! command -v systemd-analyze >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends systemd
fi
unit=/usr/lib/systemd/system/quorvex.service
out=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

# What the unit runs: the first start writes a default configuration and exits.
$sudo runuser -u quorvex -- sh -c 'cd /var/lib/quorvex && exec /usr/bin/quorvex' >/dev/null
$sudo test -s /var/lib/quorvex/quorvex.conf || fail "no quorvex.conf written in /var/lib/quorvex"
echo "test-package: passed"
