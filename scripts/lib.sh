# Shell pieces the scripts share; sourced (". scripts/lib.sh"), never run.

# wait_for_line FILE PATTERN [SECONDS]: succeeds once a line of FILE matches the grep
# PATTERN, fails after SECONDS (10 by default).
wait_for_line() {
  local tries=$(( ${3:-10} * 10 )) i
  for (( i = 0; i < tries; i++ )); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# ready_field FILE MEMBER: one member of the ready line both simulators print first,
#   {"event":"listening","address":...,"port":...,"control_port":...[,"url":...]}
# e.g. "port", "control_port", or the receiver's "url".
ready_field() {
  sed -n "s/.*\"event\":\"listening\".*\"$2\":\"\{0,1\}\([^\",}]*\).*/\1/p" "$1" | head -n 1
}
