#!/usr/bin/env bash
# Runs the browser test, first installing Debian's browser, its driver and
# Selenium when missing. Usage: tests/browser/run.sh TARVENIXD WEB_DIR OUT_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/../../scripts/install-missing.sh" chromium chromium-driver python3-selenium
# Debian's Python, where python3-selenium is installed.
exec /usr/bin/python3 "$here/forecourt_page.py" "$@"
