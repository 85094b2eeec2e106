#!/usr/bin/env bash
# Tervan against zelsim beside the tools a user would pick for the same job.
#
#   bench/peers.sh                 3 rounds of every job (a few minutes)
#   ROUNDS=7 bench/peers.sh        more rounds
#   QUICK=1 bench/peers.sh         1 round, small trees: a smoke run in seconds
#   BUILD=dir bench/peers.sh       binaries from dir/bin (default: build)
#   LOADED=1 bench/peers.sh        the same with stress-ng --cpu 4 running beside it
#   WIDE_FROM=n bench/peers.sh     one-folder rows above n files on the 256 MB chip
#                                  (default 4000)
#   JOB_TIMEOUT=s bench/peers.sh   a Tervan run longer than s seconds (default
#                                  120) ends its job: "did not finish"
#   JOBS=regex bench/peers.sh      only the jobs whose name matches (grep -E),
#                                  e.g. JOBS='DZEL2PC (small|mid)'; the small
#                                  request and zelmount rows then run only when
#                                  their names match too
#
# Each Tervan job runs against a fresh zelsim (a copy of a prepared state),
# its peer on a fresh copy of a prepared image; the two alternate round by
# round, so that a busy machine slows both alike. One line per job: the
# median and the minimum of the per-round ratios Tervan / peer, both
# medians in seconds, the device requests the job made (counted from an
# untimed run of zelsim --trace) and the fewest it could make (min: see
# min_requests). docs/benchmarks.md explains the jobs.
#
# Needs mtools, dosfstools, fdisk (sfdisk) and the sparse image tools
# (img2simg, simg2img), and stress-ng for LOADED=1; the small-request line
# needs bench/link_bench and bench/socket_pingpong (cmake
# -DTERVAN_BUILD_BENCH=ON).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
BUILD=${BUILD:-$here/../build}
BIN=$(cd "$BUILD/bin" && pwd)
QUICK=${QUICK:-0}
if [ "$QUICK" = 1 ]; then
  ROUNDS=${ROUNDS:-1}
  BIG_MIB=5 SMALL_FILES=100 SMALL_DIRS=5 MID_FILES=20 COPY_MIB=1 LINK_COUNT=2000
  ONE_FOLDER=(50 200)
else
  ROUNDS=${ROUNDS:-3}
  BIG_MIB=50 SMALL_FILES=2000 SMALL_DIRS=20 MID_FILES=200 COPY_MIB=10 LINK_COUNT=20000
  ONE_FOLDER=(500 2000 8000)
fi
JOB_TIMEOUT=${JOB_TIMEOUT:-120}
LOADED=${LOADED:-0}
JOBS=${JOBS:-}
# picked NAME: whether the job NAME is to run (JOBS).
picked() { [ -z "$JOBS" ] || grep -qE -- "$JOBS" <<<"$1"; }
needs=(mcopy mkfs.fat sfdisk img2simg simg2img timeout)
[ "$LOADED" = 1 ] && needs+=(stress-ng)
for tool in "${needs[@]}"; do
  command -v "$tool" >/dev/null || { echo "peers.sh needs $tool (see docs/benchmarks.md)" >&2; exit 1; }
done
# Partition C as PART makes it by default (93,000 KB rounded up to whole
# 16 KB tracks), with the boot sector FORMAT writes for it: FAT16, 32
# sectors a cluster, 32 reserved sectors, 512 root entries. mcopy works on
# an image of the same geometry.
PART_KB=93008
MKFS_GEOMETRY=(-F16 -s32 -R32 -r512)
# A one-folder tree of more than WIDE_FROM files (16 KB a cluster) does not
# fit partition C of the default chip: those rows run on a 256 MB chip
# (zelsim --chip K9F2G08U0A) whose C is made 200,000 KB by Tervan.cfg
# (200,064 KB after PART's rounding to whole 128 KB cylinders), the mcopy
# image likewise, in the same FAT geometry.
WIDE_FROM=${WIDE_FROM:-4000}
WIDE_CHIP=K9F2G08U0A
WIDE_CFG_KB=200000
WIDE_PART_KB=200064
# The largest sector run one device request moves (a 16-bit count).
MAX_RUN_BYTES=$((65535 * 512))

work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-peers.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1
sim_pid= hog_pid=
# zelsim's options for the job at hand (the wide chip's rows set them).
sim_opts=()
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$hog_pid" ]; then kill "$hog_pid" 2>/dev/null || true; wait "$hog_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- zelsim and Tervan --------------------------------------------------------

# start_sim STATE [options]: serves lexon0 from STATE until stop_sim.
start_sim() {
  local state=$1; shift
  "$BIN/zelsim" --state "$state" ${sim_opts[@]+"${sim_opts[@]}"} "$@" 2>>"$work/zelsim.log" &
  sim_pid=$!
  for _ in $(seq 1 400); do [ -S "$work/run/lexon0" ] && return 0; sleep 0.01; done
  echo "zelsim did not start; see $work/zelsim.log" >&2
  exit 1
}
stop_sim() {
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
  rm -f "$work/run/lexon0"
}

# tervan DIR SYNCDIR COMMANDS...: runs the commands as a batch in DIR.
# Returns 1 when the run took longer than JOB_TIMEOUT seconds.
tervan() {
  local dir=$1 sync=$2 status=0; shift 2
  printf '%s\n' "$@" >"$work/job.bat"
  (cd "$dir" && timeout "$JOB_TIMEOUT" "$BIN/Tervan" "-S$sync" "-B$work/job.bat" </dev/null \
     >"$work/tervan.out" 2>&1) || status=$?
  [ "$status" = 124 ] && return 1
  [ "$status" = 0 ] || { echo "Tervan failed: $*" >&2; cat "$work/tervan.out" >&2; exit 1; }
}

# ---- trees and prepared states ----------------------------------------------

# A tree as SYNC wants it: ROOT/Disk0/C/...
make_trees() {
  local t=$work/trees
  mkdir -p "$t/big/Disk0/C" "$t/small/Disk0/C" "$t/mid/Disk0/C"
  head -c $((BIG_MIB << 20)) /dev/urandom >"$t/big/Disk0/C/big.bin"
  local per=$((SMALL_FILES / SMALL_DIRS)) d f
  head -c $((8 << 20)) /dev/urandom >"$work/noise"
  for ((d = 0; d < SMALL_DIRS; d++)); do
    mkdir -p "$t/small/Disk0/C/dir$d"
    for ((f = 0; f < per; f++)); do
      dd if="$work/noise" of="$t/small/Disk0/C/dir$d/f$f.dat" bs=4096 count=1 \
         skip=$(((d * per + f) % 2048)) status=none
    done
  done
  for ((f = 0; f < MID_FILES; f++)); do
    dd if="$work/noise" of="$t/mid/Disk0/C/m$f.dat" bs=1024 count=250 \
       skip=$(((f * 250) % 8000)) status=none
  done
  # N files of 4 KiB in ONE folder (the root holds 512 entries only).
  local n
  for n in "${ONE_FOLDER[@]}"; do
    mkdir -p "$t/one$n/Disk0/C/ONE"
    for ((f = 0; f < n; f++)); do
      dd if="$work/noise" of="$t/one$n/Disk0/C/ONE/f$f.dat" bs=4096 count=1 \
         skip=$((f % 2048)) status=none
    done
  done
  head -c $((COPY_MIB << 20)) /dev/urandom >"$work/copy.bin"
}

# States of a fresh device: partitioned and formatted (fresh), and the same
# with each tree synchronised to it (for the copies back to the PC).
make_states() {
  mkdir -p "$work/pc"
  start_sim "$work/state.fresh"
  tervan "$work/pc" "$work/trees/big" "PART do -Y" "FORMAT"
  stop_sim
  local tree
  for tree in big small mid; do
    cp -r "$work/state.fresh" "$work/state.$tree"
    start_sim "$work/state.$tree"
    tervan "$work/pc" "$work/trees/$tree" "SYNC /P$work/trees/$tree"
    stop_sim
  done
  mkfs.fat "${MKFS_GEOMETRY[@]}" -C "$work/fresh.img" "$PART_KB" >/dev/null
  # The wide chip, partitioned by a Tervan.cfg, and its image.
  if [ "${ONE_FOLDER[-1]}" -gt "$WIDE_FROM" ]; then
    mkdir -p "$work/pc.wide"
    printf '%s 256 -1 0\n' "$WIDE_CFG_KB" >"$work/pc.wide/Tervan.cfg"
    sim_opts=(--chip "$WIDE_CHIP")
    start_sim "$work/state.wide"
    tervan "$work/pc.wide" "$work/trees/big" "PART do -Y" "FORMAT"
    stop_sim
    sim_opts=()
    mkfs.fat "${MKFS_GEOMETRY[@]}" -C "$work/wide.img" "$WIDE_PART_KB" >/dev/null
  fi
  for tree in big small mid; do
    cp "$work/fresh.img" "$work/$tree.img"
    mcopy -s -i "$work/$tree.img" "$work/trees/$tree/Disk0/C/"* ::/
  done
  # The system image for DOWNIMAGE and the packed conversions.
  start_sim "$work/state.fresh"
  tervan "$work/pc" "$work/trees/big" "BUILDIMAGE 128 $work/sys.img"
  stop_sim
}

# ---- timing -------------------------------------------------------------------

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds, without a fork

# The round's figures: tervan_us and peer_us.
tervan_us=0 peer_us=0

# run_job NAME STATE SYNCDIR TERVAN_COMMANDS PEER_FUNCTION MIN_REQUESTS
# STATE is copied for every round; the Tervan batch runs in a fresh folder.
run_job() {
  local name=$1 state=$2 sync=$3 commands=$4 peer=$5 min=$6 r
  local ratios=() tvs=() pvs=()
  picked "$name" || return 0
  # An untimed run under --trace counts the job's requests.
  rm -rf "$work/s" "$work/pc"; cp -r "$state" "$work/s"; mkdir -p "$work/pc"
  : >"$work/zelsim.log"
  start_sim "$work/s" --trace
  if ! tervan "$work/pc" "$sync" "$commands"; then
    stop_sim
    printf '%-40s did not finish in %s s\n' "$name" "$JOB_TIMEOUT"
    return 0
  fi
  stop_sim
  local requests
  requests=$(grep -cE '^zelsim: [0-9a-f]{2}( [0-9a-f]{2}){15}$' "$work/zelsim.log" || true)
  for ((r = 0; r < ROUNDS; r++)); do
    rm -rf "$work/s" "$work/pc"; cp -r "$state" "$work/s"; mkdir -p "$work/pc"
    start_sim "$work/s"
    local t0; t0=$(now)
    tervan "$work/pc" "$sync" "$commands" || true
    tervan_us=$(($(now) - t0))
    stop_sim
    rm -rf "$work/p"; mkdir -p "$work/p"
    $peer
    tvs+=("$tervan_us") pvs+=("$peer_us")
    ratios+=("$(awk -v a="$tervan_us" -v b="$peer_us" 'BEGIN { printf "%.3f", a / b }')")
  done
  report "$name" "$requests" "${ratios[*]}" "${tvs[*]}" "${pvs[*]}" s "$min"
}

# report NAME REQUESTS "RATIOS" "TERVAN_US" "PEER_US" UNIT MIN_REQUESTS
# The times are microseconds, shown in seconds (UNIT s), or as they are
# (UNIT us).
report() {
  printf '%s\n' $3 | sort -n >"$work/r"
  printf '%s\n' $4 | sort -n >"$work/t"
  printf '%s\n' $5 | sort -n >"$work/q"
  awk -v name="$1" -v req="$2" -v unit="$6" -v least="$7" -v R="$work/r" -v T="$work/t" -v Q="$work/q" '
    function median(f,   n, v, a) {
      n = 0; while ((getline v < f) > 0) a[++n] = v; close(f)
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    BEGIN {
      mr = median(R); getline mn < R
      mt = median(T); mq = median(Q)
      if (unit == "s") { mt /= 1e6; mq /= 1e6 }
      printf "%-40s median %6.2fx  min %6.2fx  tervan %9.4f%s  peer %9.4f%s  requests %s (min %s)\n",
             name, mr, mn, mt, unit, mq, unit, req, least
    }'
}

# min_requests DATA_BYTES FOLDERS_WRITTEN FOLDERS_READ: the fewest device
# requests a job could make. Start-up: 4 (device state, disk count, the
# disk's geometry, disk 0 selected); the first use of the disk: 3 (table,
# boot sector, FAT); every folder read or written: 1 (its entries lie in
# one cluster run); the file data: one request per 65,535 sectors; a job
# that writes: 1 FAT commit (both copies in one request).
min_requests() {
  local data=$1 written=$2 read=$3
  local n=$((4 + 3 + written + read + (data + MAX_RUN_BYTES - 1) / MAX_RUN_BYTES))
  [ "$written" -gt 0 ] && n=$((n + 1))
  echo "$n"
}
tree_bytes() { du -sb --apparent-size "$1" | cut -f1; }
tree_folders() { find "$1" -mindepth 1 -type d | wc -l; }

# Peers: each sets peer_us for one round; its files are in $work/p.
peer_image=$work/fresh.img  # the empty image peer_sync_in copies
timed() { local t0; t0=$(now); "$@" >/dev/null 2>&1; peer_us=$(($(now) - t0)); }
# pair_job NAME ACTION PEER [PREP [AFTER]]: a yardstick (ACTION, timed here)
# beside a peer (PEER sets peer_us), alternating round by round; $work/y
# and $work/p are emptied and PREP run before each ACTION, AFTER after it
# (both untimed, AFTER before the peer runs).
pair_job() {
  local name=$1 action=$2 peer=$3 prep=${4:-:} after=${5:-:} r ratios=() tvs=() pvs=()
  picked "$name" || return 0
  for ((r = 0; r < ROUNDS; r++)); do
    rm -rf "$work/y" "$work/p"; mkdir -p "$work/y" "$work/p"
    $prep
    local t0; t0=$(now)
    $action >/dev/null
    local own_us=$(($(now) - t0))
    $after
    $peer
    tvs+=("$own_us") pvs+=("$peer_us")
    ratios+=("$(awk -v a="$own_us" -v b="$peer_us" 'BEGIN { printf "%.3f", a / b }')")
  done
  report "$name" - "${ratios[*]}" "${tvs[*]}" "${pvs[*]}" s -
}
peer_sync_in() {  # mcopy -s of the tree into a fresh image of the partition's size
  cp "$peer_image" "$work/p/x.img"
  timed mcopy -s -i "$work/p/x.img" "$work/trees/$peer_tree/Disk0/C/"* ::/
}
peer_sync_out() {  # mcopy -s of the tree out of its image
  mkdir -p "$work/p/out"
  timed mcopy -s -i "$work/$peer_tree.img" '::/*' "$work/p/out/"
}
peer_copy() {
  cp "$work/fresh.img" "$work/p/x.img"
  timed mcopy -i "$work/p/x.img" "$work/copy.bin" ::/COPY.BIN
}
peer_cp() { timed cp "$work/sys.img" "$work/p/copy.img"; }
build_peer_image() {  # what BUILDIMAGE makes, with the usual tools
  local img=$work/p/b.img
  truncate -s 128M "$img"
  printf 'label: dos\nstart=%s, size=%s, type=6\n' 32 $((PART_KB * 2)) | sfdisk -q "$img"
  mkfs.fat "${MKFS_GEOMETRY[@]}" --offset 32 "$img" "$PART_KB"
  mcopy -s -i "$img@@16384" "$work/trees/big/Disk0/C/"* ::/
}
peer_build() { timed build_peer_image; }
peer_pak() { timed img2simg "$work/sys.img" "$work/p/x.simg"; }
peer_unpak() { img2simg "$work/sys.img" "$work/p/x.simg"; timed simg2img "$work/p/x.simg" "$work/p/x.raw"; }

# ---- the jobs -------------------------------------------------------------------

if [ "$LOADED" = 1 ]; then
  stress-ng --cpu 4 --quiet &
  hog_pid=$!
fi
make_trees
make_states
echo "Tervan / peer over $ROUNDS round(s); trees: 1 x ${BIG_MIB} MiB, $SMALL_FILES x 4 KiB in $SMALL_DIRS folders, $MID_FILES x 250 KiB, ${ONE_FOLDER[*]} x 4 KiB in one folder"
[ "$LOADED" = 1 ] && echo "with stress-ng --cpu 4 beside it"
echo "load before the jobs: $(cut -d' ' -f1-3 /proc/loadavg)"
for peer_tree in big small mid; do
  c=$work/trees/$peer_tree/Disk0/C
  run_job "SYNC /P $peer_tree" "$work/state.fresh" "$work/trees/$peer_tree" \
    "SYNC /P$work/trees/$peer_tree" peer_sync_in \
    "$(min_requests "$(tree_bytes "$c")" $(($(tree_folders "$c") + 1)) 1)"
done
for n in "${ONE_FOLDER[@]}"; do
  peer_tree=one$n state=$work/state.fresh name="SYNC /P $n files in one folder"
  if [ "$n" -gt "$WIDE_FROM" ]; then
    sim_opts=(--chip "$WIDE_CHIP") peer_image=$work/wide.img state=$work/state.wide
    name="$name, 256 MB"
  fi
  run_job "$name" "$state" "$work/trees/$peer_tree" \
    "SYNC /P$work/trees/$peer_tree" peer_sync_in \
    "$(min_requests "$(tree_bytes "$work/trees/$peer_tree/Disk0/C")" 2 1)"
  sim_opts=() peer_image=$work/fresh.img
done
for peer_tree in big small mid; do
  c=$work/trees/$peer_tree/Disk0/C
  run_job "SYNC /DZEL2PC $peer_tree" "$work/state.$peer_tree" "$work/trees/$peer_tree" \
    "SYNC /DZEL2PC /P$work/pc/back" peer_sync_out \
    "$(min_requests "$(tree_bytes "$c")" 0 $(($(tree_folders "$c") + 1)))"
done
cp "$work/copy.bin" "$work/copy.src"
run_job "COPY ${COPY_MIB} MiB" "$work/state.fresh" "$work/trees/big" \
  "COPY $work/copy.bin COPY.BIN" peer_copy "$(min_requests $((COPY_MIB << 20)) 1 1)"
# DOWNIMAGE writes the image's used 512 KB runs and reads each back (the
# burn's verification): at least twice its used bytes in 65,535-sector
# requests, after start-up.
used=$(du -B1 "$work/sys.img" | cut -f1)
run_job "DOWNIMAGE 128 MB" "$work/state.fresh" "$work/trees/big" "DOWNIMAGE $work/sys.img" peer_cp \
  $((4 + 2 * ((used + MAX_RUN_BYTES - 1) / MAX_RUN_BYTES)))
# The image commands work on PC files: start-up is all they need of the device.
run_job "BUILDIMAGE 128, ${BIG_MIB} MiB of files" "$work/state.fresh" "$work/trees/big" \
  "BUILDIMAGE 128 $work/pc/b.img" peer_build 4
cp "$work/sys.img" "$work/pak.img"
run_job "PAKIMAGE" "$work/state.fresh" "$work/trees/big" "PAKIMAGE $work/pak.img" peer_pak 4
if picked UNPAKIMAGE; then
  start_sim "$work/state.fresh"
  tervan "$work/pc" "$work/trees/big" "PAKIMAGE $work/pak.img"
  stop_sim
fi
run_job "UNPAKIMAGE" "$work/state.fresh" "$work/trees/big" "UNPAKIMAGE $work/pak.PAK" peer_unpak 4

# One small request in-process through the library's kept connection,
# against the same bytes back and forth over a plain Unix socket between
# two processes (bench/socket_pingpong, no Tervan code in it).
if ! picked "one small request (TIMEZONE)"; then
  :
elif [ -x "$BIN/link_bench" ] && [ -x "$BIN/socket_pingpong" ]; then
  start_sim "$work/state.fresh"
  tvs=() pvs=() ratios=()
  for ((r = 0; r < ROUNDS; r++)); do
    t=$("$BIN/link_bench" '\\.\lexon0' "$LINK_COUNT")
    p=$("$BIN/socket_pingpong" "$LINK_COUNT")
    tvs+=("$t") pvs+=("$p")
    ratios+=("$(awk -v a="$t" -v b="$p" 'BEGIN { printf "%.3f", a / b }')")
  done
  stop_sim
  report "one small request (TIMEZONE)" 1 "${ratios[*]}" "${tvs[*]}" "${pvs[*]}" us 1
else
  echo "small request: $BIN/link_bench or socket_pingpong not built (cmake -DTERVAN_BUILD_BENCH=ON)"
fi
# The big file's bytes over a plain Unix socket, 1 MiB a request, between
# a process with the image and one with the PC file (bench/socket_stream,
# no Tervan code in it), against mcopy of the big tree in and out: what a
# socket link's two extra copies of every byte cost.
if [ -x "$BIN/socket_stream" ]; then
  stream_out() { "$BIN/socket_stream" out "$work/big.img" $((BIG_MIB << 20)) "$work/y/big.bin"; }
  stream_in() { "$BIN/socket_stream" in "$work/trees/big/Disk0/C/big.bin" "$work/y/x.img"; }
  fresh_image() { cp "$work/fresh.img" "$work/y/x.img"; }  # as peer_sync_in, untimed
  peer_tree=big peer_image=$work/fresh.img
  pair_job "socket link: ${BIG_MIB} MiB out / mcopy" stream_out peer_sync_out
  pair_job "socket link: ${BIG_MIB} MiB in / mcopy" stream_in peer_sync_in fresh_image
else
  echo "socket link rows: $BIN/socket_stream not built (cmake -DTERVAN_BUILD_BENCH=ON)"
fi
# Kept apart from the rows above so that changes to either merge cleanly.
# zelmount on a fresh copy of a prepared state against Tervan's own command
# for the same job on another fresh copy (and ls -lR against mdir -/ of the
# image). Only the job itself is timed (cp, ls), not the mount's start.
if [ -x "$BIN/zelmount" ] && [ -e /dev/fuse ] && command -v fusermount3 >/dev/null; then
  zm_pid=
  # mount_with PROGRAM ARGS...: PROGRAM serves the mount on $work/m (which
  # ARGS name) in the background until zm_stop.
  mount_with() {
    mkdir -p "$work/m"
    "$@" 2>>"$work/zelmount.log" &
    zm_pid=$!
    until mountpoint -q "$work/m"; do
      kill -0 "$zm_pid" 2>/dev/null || { echo "$1 did not mount; see $work/zelmount.log" >&2; exit 1; }
      sleep 0.01
    done
  }
  zm_start() { mount_with "$BIN/zelmount" -f "$work/m"; }
  zm_stop() { fusermount3 -u "$work/m"; wait "$zm_pid"; zm_pid=; }
  # mount_job NAME STATE ACTION PEER: ACTION timed on a mount of a fresh
  # copy of STATE; PEER sets peer_us as the peers above do. An untimed run
  # under zelsim --trace counts the device requests of ACTION (the mount's
  # start and end included).
  mount_job() {
    local name=$1 state=$2 action=$3 peer=$4 r ratios=() tvs=() pvs=()
    picked "$name" || return 0
    rm -rf "$work/s" "$work/pc" "$work/p"; cp -r "$state" "$work/s"; mkdir -p "$work/pc" "$work/p"
    : >"$work/zelsim.log"
    start_sim "$work/s" --trace
    zm_start
    $action >/dev/null
    zm_stop
    stop_sim
    local requests
    requests=$(grep -cE '^zelsim: [0-9a-f]{2}( [0-9a-f]{2}){15}$' "$work/zelsim.log" || true)
    for ((r = 0; r < ROUNDS; r++)); do
      rm -rf "$work/s" "$work/pc" "$work/p"; cp -r "$state" "$work/s"; mkdir -p "$work/pc" "$work/p"
      start_sim "$work/s"
      zm_start
      local t0; t0=$(now)
      $action >/dev/null
      local mount_us=$(($(now) - t0))
      zm_stop
      stop_sim
      $peer
      tvs+=("$mount_us") pvs+=("$peer_us")
      ratios+=("$(awk -v a="$mount_us" -v b="$peer_us" 'BEGIN { printf "%.3f", a / b }')")
    done
    report "$name" "$requests" "${ratios[*]}" "${tvs[*]}" "${pvs[*]}" s -
  }
  # Tervan's command on a fresh copy of a state, timed as run_job times it.
  tervan_peer() {
    local state=$1 sync=$2 commands=$3
    rm -rf "$work/s" "$work/pc"; cp -r "$state" "$work/s"; mkdir -p "$work/pc"
    start_sim "$work/s"
    local t0; t0=$(now)
    tervan "$work/pc" "$sync" "$commands"
    peer_us=$(($(now) - t0))
    stop_sim
  }
  zm_cp_big() { cp "$work/trees/big/Disk0/C/big.bin" "$work/m/C/"; }
  zm_cp_small() { cp -r "$work/trees/small/Disk0/C/"* "$work/m/C/"; }
  zm_read_small() { cp -r "$work/m/C/"* "$work/p/"; }
  zm_ls_small() { ls -lR "$work/m/C"; }
  sync_big() { tervan_peer "$work/state.fresh" "$work/trees/big" "SYNC /P$work/trees/big"; }
  sync_small() { tervan_peer "$work/state.fresh" "$work/trees/small" "SYNC /P$work/trees/small"; }
  sync_back_small() {
    tervan_peer "$work/state.small" "$work/trees/small" "SYNC /DZEL2PC /P$work/pc/back"
  }
  mdir_small() { timed mdir -i "$work/small.img" -/ ::; }
  echo "zelmount / peer (only the job timed: zelmount mounted before, Tervan with its start-up)"
  mount_job "zelmount cp ${BIG_MIB} MiB / SYNC /P" "$work/state.fresh" zm_cp_big sync_big
  mount_job "zelmount cp -r small / SYNC /P" "$work/state.fresh" zm_cp_small sync_small
  mount_job "zelmount cp -r out small / SYNC /DZEL2PC" "$work/state.small" zm_read_small \
    sync_back_small
  mount_job "zelmount ls -lR small / mdir -/" "$work/state.small" zm_ls_small mdir_small
  # Yardsticks ("on the PC"): the same jobs on the PC's own file system
  # (the trees in TMPDIR), against the same peers: what the kernel's own
  # file system reaches, below which no mount's ratio can go.
  # The same jobs on a FUSE mount that keeps its files in memory and does
  # nothing else (bench/fuse_floor, served as zelmount serves its mount):
  # what the kernel and libfuse cost, below which no FUSE mount can go.
  # floor_job NAME FROM ACTION PEER: ACTION on a fresh fuse_floor mount
  # holding the tree of FROM.
  floor_from=
  floor_mount() { mount_with "$BIN/fuse_floor" "$work/m" "$floor_from"; }
  floor_job() { floor_from=$2; pair_job "$1" "$3" "$4" floor_mount zm_stop; }
  if [ -x "$BIN/fuse_floor" ]; then
    mkdir -p "$work/floor.fresh/C"
    floor_job "in-memory FUSE: cp -r small / SYNC /P" "$work/floor.fresh" zm_cp_small sync_small
    floor_job "in-memory FUSE: cp -r out small / SYNC /DZEL2PC" "$work/trees/small/Disk0" \
      zm_read_small sync_back_small
    floor_job "in-memory FUSE: ls -lR small / mdir -/" "$work/trees/small/Disk0" zm_ls_small mdir_small
  else
    echo "in-memory FUSE rows: $BIN/fuse_floor not built (cmake -DTERVAN_BUILD_BENCH=ON)"
  fi
  pc_read_small() { cp -r "$work/trees/small/Disk0/C/"* "$work/y/"; }
  pc_ls_small() { ls -lR "$work/trees/small/Disk0/C"; }
  pair_job "on the PC: cp -r small / SYNC /P" pc_read_small sync_small
  pair_job "on the PC: cp -r small / SYNC /DZEL2PC" pc_read_small sync_back_small
  pair_job "on the PC: ls -lR small / mdir -/" pc_ls_small mdir_small
else
  echo "zelmount rows: zelmount not built, or no /dev/fuse or fusermount3"
fi
echo "load after the jobs: $(cut -d' ' -f1-3 /proc/loadavg)"
