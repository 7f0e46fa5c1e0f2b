#!/usr/bin/env bash
# Records the regression sessions that tests/sim/session_replay_test.cpp
# plays back: each is a run of the tarvenix command on simulated time, with
# the operations listed in the test. Run again only when the simulator or
# the command's record format changes on purpose.
# Usage: tests/data/sessions/record.sh path/to/tarvenix
set -euo pipefail
cli=${1:?the tarvenix command}
here=$(dirname "$0")

"$cli" --sim-time --record "$here/volume_delivery.tsv" \
  init then price 52.9 then preset --volume 2 then start then wait 1 then live \
  then wait 5 then live then totals then param set 20 7 then param get 20

"$cli" --sim-time --seed 1 --fault badbcc:0.3 --fault noreply:0.2 --fault garbage:0.2 \
  --record "$here/money_delivery_faults.tsv" \
  init then price 52.9 then preset --money 1500 then start then wait 60 then live \
  then totals

"$cli" --sim-time --addr 3 --record "$here/stopped_delivery.tsv" \
  poll then price 45.3 then preset --volume 20 then start then wait 6 then live \
  then stop then live then poll then totals
