#!/usr/bin/env bash
# Runs the interop steps over TLS: retro-aim-server from ../shared/peers behind stunnel with a
# self-signed certificate, and ./interop.sh --tls against it.
#
#   scripts/interop_tls.sh [--accounts icq|aim] [--md5]
#
# The server listens on 127.0.0.1 and hands out 127.0.0.1:<port> for its services, so it runs
# in a network namespace of its own: stunnel takes those addresses here, decrypts, and forwards
# over a veth pair to socat in the namespace, which passes the bytes on to the server. Needs root (ip netns) and the
# peers set up (../shared/peers/setup.sh). Prints the interop lines; exits as interop does.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zul_ensure_packages stunnel4 socat openssl iproute2 python3 >&2

KIND=icq
MD5=()
while [ $# -gt 0 ]; do
    case "$1" in
        --accounts) KIND="$2"; shift 2 ;;
        --md5) MD5=(--md5); shift ;;
        *) echo "usage: $0 [--accounts icq|aim] [--md5]" >&2; exit 2 ;;
    esac
done
PEERS=../shared/peers
[ -x "$PEERS/serve.py" ] || { echo "no $PEERS/serve.py" >&2; exit 2; }

RUN=$(mktemp -d /tmp/zul-interop-tls-XXXXXX)
NS=zultls$$
HOST_IF=zt$$h
PEER_IF=zt$$p
SERVE_PID=
STUNNEL_PID=
SOCAT_PIDS=()
cleanup() {
    [ -n "$STUNNEL_PID" ] && kill "$STUNNEL_PID" 2>/dev/null || true
    for p in "${SOCAT_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -n "$SERVE_PID" ] && kill "$SERVE_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    ip link del "$HOST_IF" 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$NS"
ip link add "$HOST_IF" type veth peer name "$PEER_IF"
ip link set "$PEER_IF" netns "$NS"
ip addr add 10.199.0.1/30 dev "$HOST_IF"
ip link set "$HOST_IF" up
ip netns exec "$NS" ip addr add 10.199.0.2/30 dev "$PEER_IF"
ip netns exec "$NS" ip link set "$PEER_IF" up
ip netns exec "$NS" ip link set lo up

ip netns exec "$NS" "$PEERS/serve.py" retro-aim-server --accounts "$KIND" --seconds 900 \
    > "$RUN/serve.json" 2> "$RUN/serve.log" &
SERVE_PID=$!
for _ in $(seq 1 120); do
    [ -s "$RUN/serve.json" ] && break
    kill -0 "$SERVE_PID" 2>/dev/null || { cat "$RUN/serve.log" >&2; exit 1; }
    sleep 0.5
done
[ -s "$RUN/serve.json" ] || { echo "the server did not start" >&2; cat "$RUN/serve.log" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=zul interop over TLS" \
    -keyout "$RUN/key.pem" -out "$RUN/cert.pem" 2>/dev/null
read -r LOGIN_PORT A B PORTS < <(python3 - "$RUN/serve.json" "$RUN/stunnel.conf" "$RUN" <<'EOF'
import json, sys
info = json.load(open(sys.argv[1]))
run = sys.argv[3]
with open(sys.argv[2], 'w') as f:
    f.write('foreground = yes\npid =\ncert = %s/cert.pem\nkey = %s/key.pem\n' % (run, run))
    f.write('output = %s/stunnel.log\n' % run)
    for name, port in sorted(info['ports'].items()):
        if name == 'API':
            continue
        f.write('[%s]\naccept = 127.0.0.1:%d\nconnect = 10.199.0.2:%d\n' % (name, port, port))
acc = info['accounts']
print(info['login_port'], '%s:%s' % (acc[0]['login'], acc[0]['password']),
      '%s:%s' % (acc[1]['login'], acc[1]['password']),
      ','.join(str(p) for n, p in sorted(info['ports'].items()) if n != 'API'))
EOF
)
for port in ${PORTS//,/ }; do
    ip netns exec "$NS" socat "TCP-LISTEN:$port,bind=10.199.0.2,fork,reuseaddr" \
        "TCP:127.0.0.1:$port" 2>>"$RUN/socat.log" &
    SOCAT_PIDS+=($!)
done
stunnel "$RUN/stunnel.conf" 2>>"$RUN/stunnel.log" &
STUNNEL_PID=$!
for _ in $(seq 1 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$LOGIN_PORT") 2>/dev/null && break
    sleep 0.2
done
echo "interop over TLS: stunnel on 127.0.0.1:$LOGIN_PORT, certificate" \
    "$(openssl x509 -in "$RUN/cert.pem" -noout -fingerprint -sha256)" >&2

./interop.sh --tls "127.0.0.1:$LOGIN_PORT" "$A" "$B" "${MD5[@]}"
