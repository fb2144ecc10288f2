#!/usr/bin/env bash
# Runs a command inside a private network namespace of its own, with lo up and
# multicast-capable, the test source addresses on it and a route for the SSM
# range. Nothing it sends can leave the namespace. Exits 77 (skipped) when no
# namespace can be made here, saying why.
set -u

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

if [ "${SSM_IN_NETNS:-}" != 1 ]; then
  command -v unshare >/dev/null 2>&1 || skip "unshare(1) is not installed"
  command -v ip >/dev/null 2>&1 || skip "ip(8) from iproute2 is not installed"
  if ! why=$(unshare --net true 2>&1); then
    skip "cannot make a network namespace: ${why:-unshare failed} (needs root or CAP_SYS_ADMIN)"
  fi
  SSM_IN_NETNS=1 exec unshare --net -- "$0" "$@"
fi

# Inside the namespace from here on.
ip link set lo up || skip "cannot bring lo up in the namespace"
ip link set lo multicast on
# Test senders: the joined source, another source, and one with a
# 15-character address.
for address in 10.1.1.1 10.2.2.2 192.168.100.200; do
  ip address add "$address/32" dev lo
done
if [ "${SSM_NO_ROUTE:-}" != 1 ]; then
  ip route add 232.0.0.0/8 dev lo
fi
# Our own sources need no reverse-path check; new namespaces start without it,
# but say so rather than rely on it.
sysctl -q -w net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.lo.rp_filter=0 >/dev/null 2>&1 || true
exec "$@"
