#!/usr/bin/env bash
# Runs a command on a private Xvfb display that is started on a free display number
# and stopped when the command ends.
set -euo pipefail
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
