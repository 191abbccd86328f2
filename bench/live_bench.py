"""tq_live as a person sees it: headless Chromium with 1 and then 4 tabs on the page; one tab
says a sentence. Prints, per run, the glass-to-glass latency (speak clicked -> first speech
frame drawn, on the page's performance clock) and from the first audio push, against the
session's own first-frame latency, and each tab's delivered frame rate against the rate the
host pulled from the session over the same frames, with the ratios (goals: the page within
50 ms of the session, and at least 0.95x its frame rate).

  /usr/bin/python3 bench/live_bench.py build/release/tools/tq_live [BUNDLE MOTION_DIR]

Without a bundle it uses the demo avatar of tools/live.sh (out/live/), drawing it first.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SRC, "tools"))
import live_ws  # noqa: E402

SENTENCE = "Hello! I am the demo avatar of tee queue core, and I say what you type, live in your browser."


def run(live, bundle, motion, tabs):
    proc, http = live_ws.start_live(live, bundle, motion)
    user = tempfile.mkdtemp(prefix="tq_live_bench.")
    browser = live_ws.Chromium(user)
    try:
        pages = [browser.open(http) for _ in range(tabs)]
        for p in pages:
            p.wait("window.live && live.statsAt && live.frames > 25", timeout=60)
        time.sleep(2)
        start = [p.eval("live.statsAt") for p in pages]
        speaker = pages[0]
        speaker.eval(f"document.getElementById('text').value = {SENTENCE!r};"
                     "document.getElementById('speak').click()")
        speaker.wait("live.latencyMs > 0", timeout=60)
        speaker.wait("live.stats.state === 0 && live.lastKind === 0", timeout=60)
        time.sleep(2)
        end = [p.eval("live.statsAt") for p in pages]
        lat = speaker.eval("[live.latencyMs, live.pushLatencyMs, live.stats.first_frame_ms, live.stats.synth_ms,"
                          " live.stats.encode_ms, live.stats.pulled_first_ms]")
    finally:
        browser.close()
        live_ws.stop_live(proc)
        shutil.rmtree(user, ignore_errors=True)
    click, push, session, synth, encode, pulled = lat
    print(f"{tabs} tab(s): glass-to-glass {click:.0f} ms (speech synthesis {synth:.0f} ms of it); "
          f"first push -> shown {push:.0f} ms vs the session's first frame {session:.0f} ms: "
          f"+{push - session:.0f} ms (goal <= 50), pulled by the host at {pulled:.0f} ms, pulled -> shown {push - pulled:.0f} ms (JPEG {encode:.0f} ms)")
    for i, (a, b) in enumerate(zip(start, end)):
        pulled, drawn, secs = b[0] - a[0], b[1] - a[1], (b[2] - a[2]) / 1e3
        print(f"  tab {i}: {drawn / secs:.2f} fps drawn vs {pulled / secs:.2f} fps pulled from the session: "
              f"ratio {drawn / pulled:.3f}x (goal >= 0.95)")


def main():
    live = sys.argv[1]
    if len(sys.argv) >= 4:
        bundle, motion = sys.argv[2], sys.argv[3]
    else:
        out = os.path.join(SRC, "out", "live")
        bundle, motion = os.path.join(out, "avatar.imx"), os.path.join(out, "motion")
        if not os.path.exists(bundle):
            subprocess.run(["/usr/bin/python3", os.path.join(SRC, "tools", "tq_fixtures.py"), "demo-avatar",
                            os.path.join(out, "avatar"), "--imx", "--motion", motion], check=True)
            shutil.rmtree(os.path.join(out, "avatar"))
    os.environ.setdefault("TQ_A2X_W2V_RIGHT", "0")
    os.environ.setdefault("ORT_DISABLE_TELEMETRY", "1")
    for tabs in (1, 4):
        run(live, bundle, motion, tabs)


if __name__ == "__main__":
    main()
