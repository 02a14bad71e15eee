#!/bin/sh
# Start the node agent in the foreground, for a service manager.
# `make install-service` fills in the server root and the interpreter that
# PYTHON really is; the agent logs to standard output and ends with
# "exit service" when its loop fails, after which the manager restarts it.
set -e
root='@ROOT@'
cd "$root/vemo/client-side"
VEMO_SERVER_ROOT="$root"
export VEMO_SERVER_ROOT
exec '@PYTHON@' -u -c 'import client; client.zq_vemo_client().run()'
