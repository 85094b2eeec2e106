# Sourced by the test scripts (and scripts/demo.sh).
#
# wait_up PID COMMAND...: waits until COMMAND succeeds (zelsim's socket is
# there, say); fails as soon as the process PID has ended without it. There
# is no deadline, so a busy machine never fails a test; CTest's timeout ends
# one that hangs.
wait_up() {
  local pid=$1
  shift
  until "$@"; do
    kill -0 "$pid" 2>/dev/null || { "$@"; return; }
    sleep 0.05
  done
}
