"""The page against 128 pumps delivering at once: how long a live value
takes from its publication to the screen, and how many frames are dropped.
Run by hand (never in the test command):

    /usr/bin/python3 tests/browser/bench_page.py build/debug/forecourt/tarvenixd forecourt/web [SECONDS [LINES]]

128 pumps on LINES simulated lines (4 by default): more lines, more live
events, since each line polls its pumps in turn.

Publication is taken as the arrival of the event at a second, idle reader of
the stream on the same machine; "on screen" is the end of the frame that
drew it in the page.
"""
import http.client
import json
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from forecourt_page import Tarvenixd, browser  # noqa: E402


def read_stream(url, arrivals, stop):
    host = url.removeprefix("http://")
    connection = http.client.HTTPConnection(host, timeout=60)
    connection.request("GET", "/api/v1/events", headers={"Accept": "text/event-stream"})
    reply = connection.getresponse()
    event_id, kind = None, None
    while not stop.is_set():
        line = reply.fp.readline().decode().rstrip("\n")
        if line.startswith("id:"):
            event_id = line[3:].strip()
        elif line.startswith("event:"):
            kind = line[6:].strip()
        elif line == "":
            if kind == "live" and event_id:
                arrivals[event_id] = time.time() * 1000
            event_id, kind = None, None


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))]


def main(binary, web, seconds=20, lines=4):
    folder = tempfile.mkdtemp(prefix="tarvenix-bench-")
    config = os.path.join(folder, "bench.toml")
    with open(config, "w", encoding="utf-8") as out:
        out.write(f'database = "{folder}/bench.db"\nstatic_dir = "{web}"\n'
                  + f"[[line]]\nsimulate = {128 // int(lines)}\nflow = 40\n" * int(lines))
    with open(os.path.join(folder, "log"), "w", encoding="utf-8") as log:
        service = Tarvenixd(binary, config, log)
        service.start()
        driver = browser()
        stop = threading.Event()
        try:
            driver.get(service.url + "/?bench")
            time.sleep(3)
            pumps = service.call("GET", "/api/v1/pumps")[1]
            for pump in pumps:
                service.call("PUT", f"/api/v1/pumps/{pump['id']}/price", {"price": 1.5})
            arrivals = {}
            threading.Thread(target=read_stream, args=(service.url, arrivals, stop), daemon=True).start()
            time.sleep(1)
            for pump in pumps:
                service.call("POST", f"/api/v1/pumps/{pump['id']}/authorize", {"volume": 200, "client": "bench"})
            driver.execute_script("Object.assign(window.forecourtBench, {drawn: [], frames: 0, dropped: 0, drawMs: 0})")
            started = time.time() * 1000
            time.sleep(float(seconds))
            bench = driver.execute_script("return window.forecourtBench")
            errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
            service.call("POST", "/api/v1/stop-all")
        finally:
            stop.set()
            driver.quit()
            service.stop()
    latencies = [drawn - arrivals[str(i)] for i, drawn in bench["drawn"] if str(i) in arrivals]
    arrivals = {k: t for k, t in arrivals.items() if t <= started + float(seconds) * 1000}
    delivering = sum(1 for _ in pumps)
    print(json.dumps({
        "pumps": delivering,
        "lines": int(lines),
        "seconds": float(seconds),
        "live_events_published": sum(1 for t in arrivals.values() if t >= started),
        "live_events_drawn": len(latencies),
        "events_per_second": round(len(latencies) / float(seconds)),
        "p50_ms": round(percentile(latencies, 50), 1),
        "p99_ms": round(percentile(latencies, 99), 1),
        "max_ms": round(max(latencies), 1),
        "frames": bench["frames"],
        "page_drawing_ms_per_s": round(bench.get("drawMs", 0) / float(seconds), 1),
        "frames_dropped": bench["dropped"],
        "console_errors": len(errors),
    }, indent=1))


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4, 5):
        sys.exit(__doc__)
    main(*sys.argv[1:])
