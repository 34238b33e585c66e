#!/usr/bin/env bash
# Runs a command in a network namespace of its own whose hosts file knows only this machine's own
# names and whose resolver is loopback: a name lookup made there (WPAD detection's "wpad" names
# included) cannot leave the machine. Exit 77 when there is no root or no ip netns.
#   in_netns.sh COMMAND [ARGS...]
set -u
if [ "$(id -u)" != 0 ] || ! ip netns list >/dev/null 2>&1; then
  echo "needs root and ip netns" >&2
  exit 77
fi
name=rz-netns-$$
mkdir -p "/etc/netns/$name"
printf '127.0.0.1 localhost %s\n::1 localhost\n' "$(hostname)" >"/etc/netns/$name/hosts"
printf 'nameserver 127.0.0.1\n' >"/etc/netns/$name/resolv.conf"
trap 'ip netns del "$name" 2>/dev/null; rm -rf "/etc/netns/$name"' EXIT
ip netns add "$name" && ip netns exec "$name" ip link set lo up || exit 1
ip netns exec "$name" "$@"
