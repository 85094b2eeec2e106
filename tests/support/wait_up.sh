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

# zelsim_up LOG [usb]: true once the zelsim whose standard error goes to LOG
# serves its device link (with "usb": the simulation link's mailslot). It
# says so on its log once clients can connect; zelsim.exe's named pipes and
# mailslots are no files that a look at the run folder would find.
zelsim_up() {
  case ${2:-} in
    usb) grep -q '^zelsim: serving the simulation link' "$1" 2>/dev/null ;;
    *) grep -q '^zelsim: serving \\\\' "$1" 2>/dev/null ;;
  esac
}

# end_work PID FOLDER: stops the zelsim PID (when not empty) and waits for
# it, then removes the test's work folder, or keeps it and says where when
# KEEP_WORK=1 or TERVAN_KEEP_TEST_DIRS is set (for a test's EXIT trap).
end_work() {
  [ -n "$1" ] && kill "$1" 2>/dev/null && wait "$1" 2>/dev/null
  if [ "${KEEP_WORK:-0}" = 1 ] || [ "${TERVAN_KEEP_TEST_DIRS:-0}" != 0 ]; then
    echo "work folder kept: $2"
  else
    rm -rf "$2"
  fi
}
