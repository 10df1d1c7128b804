#!/usr/bin/env bash
# Runs an apt command, again and again for up to ten minutes while apt is busy
# with another install started in the background. Its output goes to stderr.
#
#   scripts/apt-retry.sh apt-get install -y -q --no-install-recommends PACKAGE...
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
for i in $(seq 1 60); do
    "$@" >&2 && exit 0
    ((i == 60)) || sleep 10
done
exit 1
