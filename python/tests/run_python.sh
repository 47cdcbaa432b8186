#!/bin/sh
# run_python.sh SIM_LAUNCHER PRELOAD PYTHON ARGS...
# Runs PYTHON ARGS under the simulated camera; PRELOAD (empty for none) is a
# library the interpreter loads before the launcher's own preload, such as
# the shared AddressSanitizer runtime.
sim=$1 pre=$2
shift 2
exec "$sim" run -- /bin/sh -c 'pre=$1; shift; [ -n "$pre" ] && LD_PRELOAD="$pre${LD_PRELOAD:+:$LD_PRELOAD}" && export LD_PRELOAD; exec "$@"' sh "$pre" "$@"
