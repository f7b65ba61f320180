#!/usr/bin/env bash
# linerate.sh - our receiver next to the best-known peers on this machine's
# loopback, in one run, with the harness in ../../shared/bench (paced sender,
# TS continuity audit, zero-loss search).
#
#   linerate.sh [-S] [-s SEC] [-b BUILD] [LABEL...]
#
# For each receiver: the highest rate with no lost TS packet, CPU seconds per
# GB and peak RSS at 200 Mbit/s; then a table with our receiver's ratio to
# each peer of the same transport (plain TS over UDP, TS in RTP, TS over TCP).
#
#   -S        short mode (a few minutes in all): 3 s runs, one run per rate
#             (doubling search, two bisections, one run at 200 Mbit/s), and
#             by default only ours and the reference receiver of each transport
#   -s SEC    seconds per run (default 10; 3 in short mode)
#   -b BUILD  build folder holding bench/ringrecv and tools/kvudpsrc
#             (default: build-rel, then build)
#   LABEL     receivers to run (default: all, see LABELS below)
#
# Our receiver (KV_VIA): "record" runs `kvudpsrc record URL -o {OUT} -q`, the
# main job as users run it; "ringrecv" runs bench/ringrecv (the receive
# thread into the DVR ring, a follower in the same process writing the ring
# to {OUT}). Default: record when the build has it, else ringrecv. TCP always
# goes through ringrecv -T: the harness's sender connects to the receiver,
# and tcp:// connects to a server. KV_RECEIVER, KV_RECEIVER_RTP and
# KV_RECEIVER_TCP override the templates.
#
# Every run is bounded: a receiver's whole search is ended after
# KV_SWEEP_LIMIT seconds (default 40 runs' worth), each run of the short mode
# after 3 runs' worth.
#
# Needs root: net.core.rmem_max is raised to 64 MiB for the run (so that
# 32 MiB socket buffers are granted to every receiver) and restored after.
# Results: $BENCH_OUT/results (default /tmp/kvbench/results), one log per
# receiver; the table goes to standard output, the load average next to
# every receiver's result to standard error.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
SHARED=${KV_BENCH_HARNESS:-$(cd "$ROOT/../../shared/bench" 2>/dev/null && pwd)}
[ -x "$SHARED/sweep.sh" ] || SHARED=/work/shared/bench
[ -x "$SHARED/sweep.sh" ] || { echo "linerate.sh: the harness (sweep.sh) is not found; set KV_BENCH_HARNESS" >&2; exit 1; }

SEC= BUILD= SHORT=0
while getopts "Ss:b:h" o; do
  case $o in
    S) SHORT=1;; s) SEC=$OPTARG;; b) BUILD=$OPTARG;;
    h) sed -n '2,39p' "$0"; exit 0;;
    *) sed -n '2,39p' "$0"; exit 2;;
  esac
done
shift $((OPTIND - 1))
[ -n "$SEC" ] || { [ "$SHORT" = 1 ] && SEC=3 || SEC=10; }
if [ -z "$BUILD" ]; then
  for b in "$ROOT/build-rel" "$ROOT/build"; do
    { [ -x "$b/bench/ringrecv" ] || [ -x "$b/tools/kvudpsrc" ]; } && { BUILD=$b; break; }
  done
fi
[ -n "$BUILD" ] && BUILD=$(cd "$BUILD" && pwd)  # the receivers run in other folders
RINGRECV=${BUILD:+$BUILD/bench/ringrecv}
KVUDPSRC=${BUILD:+$BUILD/tools/kvudpsrc}
if [ -z "${KV_VIA:-}" ]; then
  KV_VIA=ringrecv
  [ -x "${KVUDPSRC:-}" ] && "$KVUDPSRC" record --help >/dev/null 2>&1 && KV_VIA=record
fi
case $KV_VIA in
  record) [ -n "${KV_RECEIVER:-}" ] || [ -x "${KVUDPSRC:-}" ] || { echo "linerate.sh: tools/kvudpsrc is not built (ninja -C build-rel kvudpsrc)" >&2; exit 1; };;
  ringrecv) ;;
  *) echo "linerate.sh: KV_VIA must be record or ringrecv, not $KV_VIA" >&2; exit 2;;
esac
[ -n "${KV_RECEIVER_TCP:-}" ] || [ -x "${RINGRECV:-}" ] || { echo "linerate.sh: bench/ringrecv is not built (ninja -C build-rel ringrecv)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "linerate.sh: needs root to raise net.core.rmem_max" >&2; exit 1; }

export BENCH_OUT=${BENCH_OUT:-${TMPDIR:-/tmp}/kvbench}
RES=$BENCH_OUT/results
mkdir -p "$RES"
"$SHARED/build.sh" >/dev/null || exit 1
ORIG=$(sysctl -n net.core.rmem_max)
trap 'sysctl -qw net.core.rmem_max=$ORIG' EXIT
sysctl -qw net.core.rmem_max=67108864

if [ "$KV_VIA" = record ]; then
  OURS_DEFAULT="$KVUDPSRC record 'udp://127.0.0.1:{PORT}?RcvBuf={RCVBUF}' -o {OUT} -q"
else
  OURS_DEFAULT="$RINGRECV -p {PORT} -o {OUT} -b {RCVBUF}"
fi
OURS=${KV_RECEIVER:-$OURS_DEFAULT}
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
[ "$SHORT" = 1 ] && LABELS="ours-ts limitrecv ours-rtp limitrecv-rtp ours-tcp socat-tcp"
[ $# -gt 0 ] && LABELS="$*"

load() { cut -d' ' -f1-3 /proc/loadavg; }
kv() { sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"; }
# One bounded run of LABEL at RATE: its run line, also kept in the log.
one() {
  local l=$1 rate=$2 line
  # shellcheck disable=SC2086
  line=$(timeout $((3 * SEC + 60)) "$SHARED/run-peer.sh" -l "$l" -d "$SEC" -n 1 ${O[$l]:-} "${T[$l]}" "$rate" 2>&1 |
         grep '^label=' | head -1)
  echo "short $line load=$(load | tr ' ' /)" >>"$RES/$l.log"
  printf '%s\n' "$line"
}
passed() {
  [ "$(kv "$1" bytes)" -gt 0 ] 2>/dev/null && [ "$(kv "$1" mid_lost)" = 0 ] && [ "$(kv "$1" sync_errors)" = 0 ] &&
    [ $(( $(kv "$1" head_lost) + $(kv "$1" tail_lost) )) -le 512 ]
}
# The short search: doubling from 200 Mbit/s, two bisections, one run each.
short_sweep() {
  local l=$1 lo=0 hi=0 rate line fixed
  : >"$RES/$l.log"
  for rate in 200 400 800 1600 3200; do
    line=$(one "$l" "$rate")
    if passed "$line"; then lo=$rate; else hi=$rate; break; fi
  done
  if [ "$lo" -gt 0 ] && [ "$hi" -gt 0 ]; then
    for _ in 1 2; do
      rate=$(( (lo + hi) / 20 * 10 ))
      line=$(one "$l" "$rate")
      if passed "$line"; then lo=$rate; else hi=$rate; fi
    done
  fi
  fixed=$(one "$l" 200)
  echo "RESULT label=$l zero_loss_target=$lo fixed200_cpu_s_per_GB=$(kv "$fixed" rx_cpu_s_per_GB)" \
       "fixed200_rss_MB=$(kv "$fixed" rx_rss_MB) fixed200_loss_pct=$(kv "$fixed" loss_pct)" | tee -a "$RES/$l.log"
}

echo "# linerate.sh $(date -u +%FT%TZ), ${SEC} s per run, ours via $KV_VIA, load before: $(load)" >&2
for l in $LABELS; do
  [ -n "${T[$l]:-}" ] || { echo "unknown label $l" >&2; continue; }
  echo "== $l: ${T[$l]} ${O[$l]:-}" >&2
  if [ "$SHORT" = 1 ]; then
    short_sweep "$l" | tail -1 >&2
  else
    # shellcheck disable=SC2086
    SEC=$SEC timeout "${KV_SWEEP_LIMIT:-$((40 * (SEC + 3)))}" "$SHARED/sweep.sh" "$l" "${T[$l]}" ${O[$l]:-} 2>/dev/null |
      tail -1 >&2
  fi
  echo "   load: $(load)" >&2
  echo "LOAD label=$l load=$(load | tr ' ' /)" >>"$RES/$l.log"
done
echo "# load after: $(load)" >&2

# The table: one row per receiver, with ours in each group as the reference.
for l in $LABELS; do
  [ -f "$RES/$l.log" ] && echo "${K[$l]:-?} $(grep '^RESULT' "$RES/$l.log" | tail -1) $(grep '^LOAD' "$RES/$l.log" | tail -1 | cut -d' ' -f3)"
done | awk '
  function num(s) { sub(/\[.*/, "", s); return s + 0 }
  { delete d; for (i = 2; i <= NF; i++) { split($i, a, "="); d[a[1]] = a[2] }
    g[NR] = $1; lab[NR] = d["label"]; z[NR] = d["zero_loss_target"] + 0
    c[NR] = d["fixed200_cpu_s_per_GB"]; r[NR] = d["fixed200_rss_MB"]; ld[NR] = d["load"]; n = NR
    if (lab[NR] ~ /^ours-/) { oz[$1] = z[NR]; oc[$1] = num(c[NR]) } }
  END {
    print "| receiver | transport | zero-loss Mbit/s | ours / it | CPU s/GB @200 | it / ours | peak RSS MB @200 | load avg after |"
    print "|---|---|---|---|---|---|---|---|"
    for (i = 1; i <= n; i++) {
      zr = (z[i] > 0 && oz[g[i]] > 0) ? sprintf("%.2f", oz[g[i]] / z[i]) : "n/a"
      cr = (num(c[i]) > 0 && oc[g[i]] > 0) ? sprintf("%.2f", num(c[i]) / oc[g[i]]) : "n/a"
      printf "| %s | %s | %d | %s | %s | %s | %s | %s |\n", lab[i], g[i], z[i], zr, c[i], cr, r[i], ld[i]
    } }'
