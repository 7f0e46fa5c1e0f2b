#!/usr/bin/env bash
# Runs the curl examples of a document (docs/forecourt-api.md,
# docs/forecourt.md), as shown, against
# `tarvenixd --simulate 4` on a free port: each must answer below 400 (an
# event stream is cut after a second). Usage: api_examples.sh TARVENIXD DOC
set -euo pipefail
tarvenixd=$1
doc=$2
work=$(mktemp -d)
"$tarvenixd" --simulate 4 --database "$work/journal.db" --listen 127.0.0.1:0 \
  >"$work/out" 2>"$work/log" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [ -s "$work/out" ] && break
  sleep 0.1
done
URL=$(head -1 "$work/out")
[ -n "$URL" ] || { echo "tarvenixd printed no URL"; cat "$work/log"; exit 1; }
# Every pump online first, as /healthz tells.
for _ in $(seq 100); do
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$URL/healthz")" = 200 ] && break
  sleep 0.1
done

failed=0
while IFS= read -r example; do
  # The sale must be payable before it can be locked or cleared.
  if [[ $example == *"/transactions/1/lock"* ]]; then
    for _ in $(seq 200); do
      curl -s "$URL/api/v1/transactions/1" | grep -q '"state":"payable"' && break
      sleep 0.1
    done
  fi
  # Opening or closing a shift reads every pump's counters first.
  wait=1
  [[ $example == *"-X POST"*"/shifts"* ]] && wait=30
  command=${example/curl -s/curl -s -o /dev/null -w %\{http_code\} --max-time $wait}
  status=$(eval "$command" || true)
  if [[ ! $status =~ ^[23][0-9][0-9]$ ]]; then
    echo "FAILED ($status): $example"
    failed=1
  fi
done < <(grep -E '^    curl ' "$doc" | sed 's/^    //')
exit $failed
