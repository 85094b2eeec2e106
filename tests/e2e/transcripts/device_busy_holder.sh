# For the device_busy case: an interactive Tervan that holds its device
# until end_holder; NAME.pid and NAME.out are its process id and output.
hold_device() {  # hold_device NAME TERVAN-OPTIONS...
  local name=$1; shift
  rm -f "$name.in"; mkfifo "$name.in"
  { echo 'ECHO holding'; exec sleep 600; } >"$name.in" 2>/dev/null & echo $! >"$name.writer"
  "$BIN/Tervan" "$@" <"$name.in" >"$name.out" 2>&1 & echo $! >"$name.pid"
  # Its start-up is over (and the device held) once it has run a command;
  # no deadline (a busy machine may be slow), only its end stops the wait.
  wait_up "$(cat "$name.pid")" grep -q 'holding' "$name.out" && return 0
  echo "$name did not start"; cat "$name.out"; return 1
}
end_holder() {  # end_holder NAME [SIGNAL]
  [ -f "$1.pid" ] || return 0
  kill -"${2:-TERM}" "$(cat "$1.pid")" 2>/dev/null
  kill "$(cat "$1.writer")" 2>/dev/null
  while kill -0 "$(cat "$1.pid")" 2>/dev/null; do sleep 0.05; done
  rm -f "$1.pid"
}
