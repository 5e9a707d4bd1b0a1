#!/bin/sh
# Runs a command in a network namespace of its own (no root needed: a user
# namespace maps the caller to root in it) whose loopback loses every second
# TCP SYN, as a link does that loses a packet now and then: with one attempt
# per connect, each connect's SYN is lost, and the system sends it again only
# after a second. Fails when the filter dropped nothing, so that a command
# passing here has met the loss.
#   tests/support/in_lossy_network.sh COMMAND [ARGUMENTS]
set -eu
if [ "${LORVENT_IN_LOSSY_NETWORK:-}" != 1 ]; then
    LORVENT_IN_LOSSY_NETWORK=1 exec unshare --net --map-root-user "$0" "$@"
fi
ip link set lo up
nft -f - <<'RULES'
table ip lossy {
    chain output {
        type filter hook output priority 0; policy accept;
        tcp flags & (syn | ack) == syn numgen inc mod 2 == 0 counter drop
    }
}
RULES
status=0
"$@" || status=$?
dropped=$(nft list chain ip lossy output | sed -n 's/.*counter packets \([0-9]*\).*/\1/p')
echo "in_lossy_network: ${dropped:-0} SYN packets dropped"
if [ "${dropped:-0}" -eq 0 ]; then
    echo "in_lossy_network: no SYN was dropped: the command did not meet the loss" >&2
    exit 1
fi
exit "$status"
