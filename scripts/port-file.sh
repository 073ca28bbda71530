# Waiting for a simulator that was just started. Sourced by the scripts that
# start one:
#   source scripts/port-file.sh && wait_port_file FILE PID
#
# Waits up to 5 s for quillmark-sim (process PID) to write its --port-file
# FILE. The simulator renames the file into place whole, so once it is there
# it holds every line. Returns 0 when the file is there, 1 when the simulator
# ended without writing it or the time ran out.
wait_port_file() {
  local file=$1 pid=$2 _
  for _ in $(seq 100); do
    [ -s "$file" ] || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.05
  done
  [ -s "$file" ]
}
