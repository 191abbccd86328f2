"""tq_live in a real browser: headless Chromium opens the page, a sentence is typed and the
speak button clicked; speech frames arrive, the mouth opens in the picture the page draws,
the sentence's audio reached the page, the page shows its measurements, and a screenshot
of the speaking avatar is kept under out/live/."""
import base64
import json
import os
import shutil
import tempfile
import time

from live_common import LIVE, MOUTH, SRC, avatar, expect, live_ws

SENTENCE = "Open wide, then close. Open wide again."

# Samples the picture the page shows every 20 ms: the kind of the last frame drawn and the
# dark pixels (open mouth) in the mouth box of the canvas.
SAMPLER = """
window.samples = [];
setInterval(() => {
  const d = document.getElementById("view").getContext("2d").getImageData(%d, %d, %d, %d).data;
  let dark = 0;
  for (let i = 0; i < d.length; i += 4) dark += (d[i] + d[i + 1] + d[i + 2]) / 3 < 20;
  window.samples.push([live.lastKind, dark]);
}, 20);
""" % MOUTH


def main():
    tmp, bundle, motion = avatar()
    proc, http = live_ws.start_live(LIVE, bundle, motion)
    browser = live_ws.Chromium(tempfile.mkdtemp(dir=tmp))
    try:
        tab = browser.open(http)
        tab.wait("window.live && live.id >= 0 && live.frames > 10", timeout=60)
        tab.eval(SAMPLER)
        time.sleep(1)
        tab.wait("live.stats !== null", timeout=10)
        expect("the session's own: – ms" in tab.eval("document.getElementById('stats').textContent"),
               "no session latency is shown before anything was said")
        icon = tab.eval("fetch('/favicon.ico').then(r => r.status)")
        expect(icon == 200, f"the favicon answers {icon}")

        # Type the sentence and click speak, as a person would.
        tab.eval("document.getElementById('text').focus()")
        tab.call("Input.insertText", text=SENTENCE)
        x, y = tab.eval("(() => { const r = document.getElementById('speak').getBoundingClientRect();"
                        " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
        for kind in ("mousePressed", "mouseReleased"):
            tab.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)
        tab.wait("live.speechFrames > 12", timeout=90)
        shot = base64.b64decode(tab.call("Page.captureScreenshot", format="png")["data"])
        out = os.path.join(SRC, "out", "live")
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "browser.png"), "wb") as f:
            f.write(shot)
        expect(shot[:8] == b"\x89PNG\r\n\x1a\n" and len(shot) > 10000, f"screenshot saved ({len(shot)} bytes)")
        tab.wait("live.speechFrames > 0 && live.lastKind === 0 && live.stats && live.stats.state === 0", timeout=90)
        time.sleep(0.6)  # the next statistics carry the page's report

        live = json.loads(tab.eval("JSON.stringify(window.live)"))
        samples = tab.eval("window.samples")
        print({k: live[k] for k in ("frames", "speechFrames", "audioSamples", "latencyMs", "pushLatencyMs", "fps")})
        expect(live["answers"][-1] == f"saying it ({len(SENTENCE)} characters)", f"answer {live['answers'][-1]!r}")
        expect(live["speechFrames"] >= 40, f"{live['speechFrames']} speech frames drawn")
        expect(live["audioSamples"] == 640 * live["speechFrames"], f"{live['audioSamples']} audio samples reached the page")
        idle = [d for k, d in samples if k == 0]
        speech = [d for k, d in samples if k == 1]
        expect(speech and max(speech) >= 2 * max(idle) + 30,
               f"the mouth opens while speaking: dark pixels {max(speech)} speaking, {max(idle)} idle")
        expect(0 < live["latencyMs"] < 5000 and 0 < live["pushLatencyMs"] < live["latencyMs"],
               f"first-frame latency {live['latencyMs']:.0f} ms from the click, {live['pushLatencyMs']:.0f} ms from the "
               "first push")
        shown = tab.eval("document.getElementById('stats').textContent")
        # Formatted by the page itself: JavaScript rounds x.5 up, Python's format to even.
        shownMs = tab.eval("live.latencyMs.toFixed(0)")
        expect(f"first-frame latency: {shownMs} ms" in shown and "render" in shown,
               "the page shows the latency and the stage times")
        me = [c for c in live["stats"]["clients"] if c["id"] == live["id"]]
        expect(me and me[0]["latency_ms"] == round(live["latencyMs"], 1), "the page reported its latency to the host")
        expect(tab.eval("document.getElementById('answer').textContent") == "",
               "the 'saying it' line is gone once the sentence was said")

        # A second sentence interrupts a third: the latency shown is the third's, from its own
        # click to its own first frame, on the page's clock (never a frame of the sentence it cut off).
        def say(text):
            tab.eval(f"document.getElementById('text').value = {text!r}")
            return tab.eval("(() => { const t = performance.now(); document.getElementById('speak').click();"
                            " return t; })()")
        say("This sentence will be cut off before its end, by another one.")
        tab.wait("live.speechFrames > 0 && live.lastKind === 1", timeout=90)
        before = tab.eval("live.sentence")
        clicked = say("Said instead.")
        tab.wait(f"live.sentence > {before} && live.latencyMs > 0", timeout=90)
        seen = tab.eval("performance.now()")
        shown = tab.eval("live.latencyMs")
        # The first frame needs 320 ms of speech pushed on the audio clock.
        expect(300 <= shown <= seen - clicked, f"latency after an interrupt {shown:.0f} ms, the test saw the frame "
               f"within {seen - clicked:.0f} ms of its click")
    finally:
        browser.close()
        live_ws.stop_live(proc)
        shutil.rmtree(tmp)
    print("live browser ok")


if __name__ == "__main__":
    main()
