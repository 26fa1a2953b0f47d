#!/usr/bin/env bash
# What checking in over IPv6 too adds to a check-in run: pinmark-checkin
# against the local pinmark-service, with IPv6 off and on, alternately, each
# run timed from outside, and the median of each printed with their
# difference:
#
#   bench/checkin_ipv6.sh [RUNS] [BIN]     (RUNS 20, BIN build/bin)
#
# The service listens on 127.0.0.1 and on ::1 at the same port (one process,
# --host twice), and the URL names localhost, which must be looked up as ::1
# for IPv6 (Debian's /etc/hosts has "::1 localhost"). Where it is not, root
# runs the whole bench in a mount namespace with a hosts file that says so.
set -euo pipefail
runs=${1:-20}
bin=${2:-build/bin}
if ! getent ahostsv6 localhost | grep -q '^::1 '; then
  if [[ $(id -u) -eq 0 && -z ${PINMARK_BENCH_HOSTS:-} ]] && unshare --mount true 2>/dev/null; then
    hosts=$(mktemp)
    printf '127.0.0.1 localhost\n::1 localhost\n' >"$hosts"
    PINMARK_BENCH_HOSTS=$hosts exec unshare --mount sh -c 'mount --bind "$PINMARK_BENCH_HOSTS" /etc/hosts && exec "$@"' \
      sh bash "$0" "$runs" "$bin"
  fi
  echo "localhost is not ::1 here (see /etc/hosts)" >&2
  exit 1
fi
dir=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$dir"' EXIT
digest=$(printf %s secret | md5sum | cut -d' ' -f1)

"$bin/pinmark-service" --host 127.0.0.1 --host ::1 --port 0 --account "alice:$digest" >"$dir/service.log" 2>&1 &
pids+=($!)
until grep -q 'listening on ::1:' "$dir/service.log"; do
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$dir/service.log" >&2; exit 1; }
  sleep 0.01
done
port=$(grep -o 'listening on ::1:[0-9]*' "$dir/service.log" | cut -d: -f4)

for ipv6 in 0 1; do
  printf '[Program]\nIPv6=%s\nURL=http://localhost:%s/includes/r_update.php\n[User]\nName=alice\nPassword=%s\nComputer=bench\n' \
    "$ipv6" "$port" "$digest" >"$dir/ipv6-$ipv6.ini"
  chmod 600 "$dir/ipv6-$ipv6.ini"
done

# One run, its wall time in microseconds; its output must be what the setting asks for.
run() {
  local start end out
  start=$(date +%s%N)
  out=$("$bin/pinmark-checkin" --ini "$dir/ipv6-$1.ini")
  end=$(date +%s%N)
  [[ $1 == 0 && $out == 127.0.0.1 ]] || [[ $1 == 1 && $out == $'127.0.0.1\n::1' ]] ||
    { echo "unexpected output with IPv6=$1: $out" >&2; exit 1; }
  echo $(((end - start) / 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for ((i = 0; i < runs; i++)); do
  run 0 >>"$dir/off"
  run 1 >>"$dir/on"
done
off=$(median <"$dir/off")
on=$(median <"$dir/on")
echo "median of $runs runs: IPv6 off ${off} us, IPv6 on ${on} us, added $((${on%.*} - ${off%.*})) us"
