#!/bin/sh
# Runs a command in a private mount namespace in which /etc and /usr/local/share are
# overlays whose upper layers lie in STATE (a folder of the test's sandbox): whatever the
# command writes to the system trust store or Firefox's policies lands there, and the
# machine's own files never change. Later runs with the same STATE see the same stores.
# The hooks of update-ca-certificates are hidden, since they record work for other
# packages outside these folders. With READ_ONLY_CERTIFICATES=1 the folder of local
# certificates cannot be written.
# usage: private-stores.sh STATE COMMAND [ARGUMENT...]
set -e
state=$1
shift
mkdir -p "$state/etc/upper" "$state/etc/work" "$state/local/upper" "$state/local/work"
exec unshare -m sh -c '
  set -e
  state=$1
  shift
  mount --make-rprivate /
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$state/etc/upper,workdir=$state/etc/work" /etc
  mount -t overlay overlay -o "lowerdir=/usr/local/share,upperdir=$state/local/upper,workdir=$state/local/work" /usr/local/share
  mkdir -p /etc/ca-certificates/update.d /usr/local/share/ca-certificates
  mount -t tmpfs -o ro tmpfs /etc/ca-certificates/update.d
  if [ "${READ_ONLY_CERTIFICATES:-0}" = 1 ]; then
    mount --bind /usr/local/share/ca-certificates /usr/local/share/ca-certificates
    mount -o remount,bind,ro /usr/local/share/ca-certificates
  fi
  exec "$@"' private-stores "$state" "$@"
