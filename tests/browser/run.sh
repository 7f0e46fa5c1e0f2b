#!/usr/bin/env bash
# Runs the browser test, first installing Debian's browser, its driver and
# Selenium when missing, and axe-core from npm into the build folder (the
# test injects it; the page itself fetches nothing).
# Usage: tests/browser/run.sh TARVENIXD WEB_DIR OUT_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/../../scripts/install-missing.sh" chromium chromium-driver python3-selenium
command -v npm >/dev/null || "$here/../../scripts/install-missing.sh" npm
axe="$3/axe/node_modules/axe-core/axe.min.js"
if [[ ! -f $axe ]]; then
  npm install --silent --no-audit --no-fund --prefix "$3/axe" axe-core@4.10.2 >&2
fi
# Debian's Python, where python3-selenium is installed.
AXE_JS="$axe" exec /usr/bin/python3 "$here/forecourt_page.py" "$@"
