#!/usr/bin/env bash
# linerate.sh - our receiver next to the best-known peers on this machine's
# loopback, in one run, with the harness in ../../shared/bench (paced sender,
# TS continuity audit, zero-loss search).
#
#   linerate.sh [-s SEC] [-b BUILD] [LABEL...]
#
# For each receiver: the highest rate with no lost TS packet (search,
# bisection, three confirmations), CPU seconds per GB and peak RSS at
# 200 Mbit/s, all from sweep.sh; then a table with our receiver's ratio to
# each peer of the same transport (plain TS over UDP, TS in RTP, TS over TCP).
#
#   -s SEC    seconds per run (default 10; 5 halves the time, ~3 min a receiver)
#   -b BUILD  build folder holding bench/ringrecv (default: build-rel, then build)
#   LABEL     receivers to run (default: all, see LABELS below)
#
# Our receiver is `bench/ringrecv` (the receive thread into the DVR ring, a
# follower writing the ring to {OUT}); set KV_RECEIVER, KV_RECEIVER_RTP and
# KV_RECEIVER_TCP to other templates (e.g. `kvudpsrc record ...`) to measure
# those instead. The TCP sender connects to the receiver, so a TCP receiver
# must listen on {PORT}.
#
# Needs root: net.core.rmem_max is raised to 64 MiB for the run (so that
# 32 MiB socket buffers are granted to every receiver) and restored after.
# Results: $BENCH_OUT/results (default /tmp/kvbench/results), one log per
# receiver; the table goes to standard output.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
SHARED=${KV_BENCH_HARNESS:-$(cd "$ROOT/../../shared/bench" 2>/dev/null && pwd)}
[ -x "$SHARED/sweep.sh" ] || SHARED=/work/shared/bench
[ -x "$SHARED/sweep.sh" ] || { echo "linerate.sh: the harness (sweep.sh) is not found; set KV_BENCH_HARNESS" >&2; exit 1; }

SEC=10 BUILD=
while getopts "s:b:h" o; do
  case $o in
    s) SEC=$OPTARG;; b) BUILD=$OPTARG;;
    h) sed -n '2,27p' "$0"; exit 0;;
    *) sed -n '2,27p' "$0"; exit 2;;
  esac
done
shift $((OPTIND - 1))
if [ -z "$BUILD" ]; then
  for b in "$ROOT/build-rel" "$ROOT/build"; do [ -x "$b/bench/ringrecv" ] && { BUILD=$b; break; }; done
fi
RINGRECV=${BUILD:+$BUILD/bench/ringrecv}
[ -n "${KV_RECEIVER:-}" ] || [ -x "${RINGRECV:-}" ] || { echo "linerate.sh: bench/ringrecv is not built (ninja -C build-rel ringrecv)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "linerate.sh: needs root to raise net.core.rmem_max" >&2; exit 1; }

export BENCH_OUT=${BENCH_OUT:-${TMPDIR:-/tmp}/kvbench}
RES=$BENCH_OUT/results
mkdir -p "$RES"
"$SHARED/build.sh" >/dev/null || exit 1
ORIG=$(sysctl -n net.core.rmem_max)
trap 'sysctl -qw net.core.rmem_max=$ORIG' EXIT
sysctl -qw net.core.rmem_max=67108864

OURS=${KV_RECEIVER:-"$RINGRECV -p {PORT} -o {OUT} -b {RCVBUF}"}
OURS_RTP=${KV_RECEIVER_RTP:-$OURS}
OURS_TCP=${KV_RECEIVER_TCP:-"$RINGRECV -T -p {PORT} -o {OUT} -b {RCVBUF}"}
FFIN='-nostdin -hide_banner -loglevel warning -probesize 500000 -analyzeduration 500000'
UDPQ='fifo_size=278528&overrun_nonfatal=1&buffer_size={RCVBUF}&timeout=1500000'
RTPCAPS='caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33"'
declare -A T O K
# K: transport group (ts, rtp, tcp); our receiver of each group is "ours-<group>".
T[ours-ts]=$OURS; K[ours-ts]=ts
T[limitrecv]="$BENCH_OUT/bin/limitrecv -p {PORT} -o {OUT} -b {RCVBUF}"; K[limitrecv]=ts
T[ffmpeg]="ffmpeg $FFIN -i \"udp://127.0.0.1:{PORT}?$UDPQ\" -map 0 -c copy -f mpegts -y {OUT}"; O[ffmpeg]='-q 3'; K[ffmpeg]=ts
T[gst]='gst-launch-1.0 -q -e udpsrc port={PORT} address=127.0.0.1 buffer-size={RCVBUF} ! filesink location={OUT}'; K[gst]=ts
T[multicat]='multicat -u @127.0.0.1:{PORT} {OUT}'; K[multicat]=ts
T[socat]='socat -u UDP4-RECV:{PORT},bind=127.0.0.1,rcvbuf={RCVBUF} OPEN:{OUT},creat,trunc'; K[socat]=ts
T[ours-rtp]=$OURS_RTP; O[ours-rtp]='-R'; K[ours-rtp]=rtp
T[limitrecv-rtp]="$BENCH_OUT/bin/limitrecv -p {PORT} -o {OUT} -b {RCVBUF} -R"; O[limitrecv-rtp]='-R'; K[limitrecv-rtp]=rtp
T[gst-rtp]="gst-launch-1.0 -q -e udpsrc port={PORT} address=127.0.0.1 buffer-size={RCVBUF} $RTPCAPS ! rtpmp2tdepay ! filesink location={OUT}"; O[gst-rtp]='-R'; K[gst-rtp]=rtp
T[ours-tcp]=$OURS_TCP; O[ours-tcp]='-T'; K[ours-tcp]=tcp
T[socat-tcp]='socat -u TCP4-LISTEN:{PORT},bind=127.0.0.1,rcvbuf={RCVBUF} OPEN:{OUT},creat,trunc'; O[socat-tcp]='-T'; K[socat-tcp]=tcp
LABELS="ours-ts limitrecv ffmpeg gst ours-rtp limitrecv-rtp gst-rtp ours-tcp socat-tcp"
[ $# -gt 0 ] && LABELS="$*"

echo "# linerate.sh $(date -u +%FT%TZ), ${SEC} s per run, load before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for l in $LABELS; do
  [ -n "${T[$l]:-}" ] || { echo "unknown label $l" >&2; continue; }
  echo "== $l: ${T[$l]} ${O[$l]:-}" >&2
  # shellcheck disable=SC2086
  SEC=$SEC "$SHARED/sweep.sh" "$l" "${T[$l]}" ${O[$l]:-} 2>/dev/null | tail -1 >&2
done
echo "# load after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

# The table: one row per receiver, with ours in each group as the reference.
for l in $LABELS; do
  [ -f "$RES/$l.log" ] && echo "${K[$l]:-?} $(grep '^RESULT' "$RES/$l.log" | tail -1)"
done | awk '
  function num(s) { sub(/\[.*/, "", s); return s + 0 }
  { delete d; for (i = 2; i <= NF; i++) { split($i, a, "="); d[a[1]] = a[2] }
    g[NR] = $1; lab[NR] = d["label"]; z[NR] = d["zero_loss_target"] + 0
    c[NR] = d["fixed200_cpu_s_per_GB"]; r[NR] = d["fixed200_rss_MB"]; n = NR
    if (lab[NR] ~ /^ours-/) { oz[$1] = z[NR]; oc[$1] = num(c[NR]) } }
  END {
    print "| receiver | transport | zero-loss Mbit/s | ours / it | CPU s/GB @200 | it / ours | peak RSS MB @200 |"
    print "|---|---|---|---|---|---|---|"
    for (i = 1; i <= n; i++) {
      zr = (z[i] > 0 && oz[g[i]] > 0) ? sprintf("%.2f", oz[g[i]] / z[i]) : "n/a"
      cr = (num(c[i]) > 0 && oc[g[i]] > 0) ? sprintf("%.2f", num(c[i]) / oc[g[i]]) : "n/a"
      printf "| %s | %s | %d | %s | %s | %s | %s |\n", lab[i], g[i], z[i], zr, c[i], cr, r[i]
    } }'
