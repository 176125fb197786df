#!/usr/bin/env bash
# New connections per second: vesk-service against nginx with one worker, in one run, on loopback.
# One request per connection ("Connection: close") for a path neither serves, so both answer a
# bare 404; wrk with one thread and eight connections. Run as root (the service gets a private
# mount namespace with a temporary home, as in the end-to-end tests), on a Release build:
#
#   bench/httpserver_vs_nginx.sh build-rel/bin/vesk-service [seconds]
#
# Prints both rates and their ratio. nginx and wrk come from scripts/install-deps.sh.
#
# wrk reports a read error for every request to the service: the bare 404 carries no
# Content-Length, so wrk reads it to the close, and then opens a second connection that it closes
# at once unused. Each request to the service thus costs two connections, one to nginx one.
set -euo pipefail

program=$(realpath "${1:?usage: $0 path/to/vesk-service [seconds]}")
seconds=${2:-10}
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 300); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  exit 1
}

# The service, beside its libraries and its config.ini, logging errors only (its default).
vesk_port=$(free_port)
mkdir -p "$scratch/bin" "$scratch/home" "$scratch/log"
ln "$program" "$scratch/bin/vesk-service" 2>/dev/null || cp "$program" "$scratch/bin/vesk-service"
for library in "$(dirname "$program")"/lib*.so*; do ln -s "$library" "$scratch/bin/"; done
printf '[Logger]\npath=%s\n[Main]\nlisten=127.0.0.1:%s\n' "$scratch/log/vesk.log" "$vesk_port" \
  >"$scratch/bin/config.ini"
unshare --mount --propagation private -- /bin/sh -c \
  'mkdir -p "$1" && mount --bind "$2" "$1" && exec "$3"' vesk-bench \
  /var/lib/morlen-vesk "$scratch/home" "$scratch/bin/vesk-service" 2>"$scratch/vesk.err" &
pids+=($!)

nginx_port=$(free_port)
mkdir -p "$scratch/nginx"
cat >"$scratch/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $scratch/nginx/nginx.pid;
error_log $scratch/nginx/error.log error;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $scratch/nginx;
  server { listen 127.0.0.1:$nginx_port; location / { return 404; } }
}
EOF
nginx -c "$scratch/nginx/nginx.conf" -p "$scratch/nginx" 2>"$scratch/nginx/stderr" &
pids+=($!)

wait_port "$vesk_port"
wait_port "$nginx_port"

rate() {
  wrk -t1 -c8 -d"${seconds}s" -H 'Connection: close' "http://127.0.0.1:$1/missing" \
    | tee "$scratch/wrk-$1.txt" | awk '/^Requests\/sec:/ { print $2 }'
}

# nginx first and last, so that a drift of the machine during the run shows.
nginx_before=$(rate "$nginx_port")
vesk=$(rate "$vesk_port")
nginx_after=$(rate "$nginx_port")
cat "$scratch/wrk-$nginx_port.txt" "$scratch/wrk-$vesk_port.txt"
echo "nginx (1 worker): $nginx_before then $nginx_after requests/s"
echo "vesk-service:     $vesk requests/s"
python3 -c "import sys; v, a, b = map(float, sys.argv[1:]); print(f'ratio: {v / ((a + b) / 2):.2f}')" \
  "$vesk" "$nginx_before" "$nginx_after"
