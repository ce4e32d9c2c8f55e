#!/usr/bin/env python3
"""The site `make web` writes, as a browser shows it: Debian's chromium, headless, driven over
the DevTools protocol on a pipe (fd 3 commands, fd 4 replies, NUL-terminated JSON), the site
served by Python's http.server on 127.0.0.1. The canvas must hold, byte for byte, the frames
`lpcdemo run --scale 1 --png-dir` writes; the microphone (Chromium's fake one playing a 1 kHz
file) must put the spectrum's tallest bar where `--audio tone:1000` puts it; refusals are
plain messages. One browser and one server for every case, both stopped by their PIDs."""

import fcntl
import json
import math
import os
import pathlib
import select
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import wave

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools" / "lpcdemo"))
import pixels  # noqa: E402  (found through the path set just above)

LPCDEMO = SITE = None
STEP_SECONDS = 20  # any one command, page or run
WIDTH, HEIGHT = 98, 67

# The page's state once it has stopped: its frames and timing (data-done) or its refusal, the
# counter of the frame shown and the canvas's pixels. Polled in the page for at most 10 s.
RESULT = """new Promise(resolve => {
  const t0 = performance.now();
  const poll = () => {
    const d = document.body.dataset, lcd = document.getElementById('lcd');
    if (d.done || d.refused || performance.now() - t0 > 10000) {
      resolve({done: d.done ? JSON.parse(d.done) : null, refused: d.refused ?? null,
               frame: lcd.dataset.frame ?? null, hidden: lcd.hidden, search: location.search,
               message: document.getElementById('message').textContent,
               status: document.getElementById('status').textContent,
               pixels: d.done ? Array.from(lcd.getContext('2d').getImageData(0, 0, 98, 67).data) : null});
    } else {
      setTimeout(poll, 10);
    }
  };
  poll();
})"""


def bar_column(rows):
    """The column of the spectrum's tallest bar: the most lit pixels in the bottom fifth (as the
    live view's test finds it)."""
    bottom = rows[HEIGHT * 4 // 5:]
    lit = [sum(row[x] != (0, 0, 0) for row in bottom) for x in range(WIDTH)]
    return lit.index(max(lit))


def canvas_rows(rgba):
    return [[tuple(rgba[(y * WIDTH + x) * 4:(y * WIDTH + x) * 4 + 3]) for x in range(WIDTH)]
            for y in range(HEIGHT)]


class Browser:
    """One headless Chromium with one page, driven over --remote-debugging-pipe."""

    def __init__(self, profile, capture_wav):
        to_child, self.commands = os.pipe()
        self.replies, from_child = os.pipe()
        # Chromium wants its ends at 3 and 4 exactly; ours may be 3 or 4 themselves, so they
        # move above 4 first (close-on-exec, so only the dup2 copies reach the child).
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_child, from_child)]
        os.close(to_child)
        os.close(from_child)

        def onto_3_and_4():
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)
        self.proc = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             # the launcher's own /dev/shm check misreads a doubly mounted /dev/shm
             "--disable-dev-shm-usage", "--no-first-run", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--use-fake-ui-for-media-stream",
             "--use-fake-device-for-media-stream", "--use-file-for-fake-audio-capture=" + capture_wav,
             "--autoplay-policy=no-user-gesture-required", "about:blank"],
            preexec_fn=onto_3_and_4, close_fds=False, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in high:
            os.close(fd)
        self.buffer, self.next_id, self.events = b"", 0, []
        try:
            target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            self.session = self.call("Target.attachToTarget",
                                     {"targetId": target, "flatten": True})["sessionId"]
            self.page("Page.enable")
        except BaseException:
            self.close()
            raise

    def send(self, method, params, session):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        return self.next_id

    def receive(self, wanted):
        """The first message `wanted` accepts; events before it are kept for a later wait."""
        for i, m in enumerate(self.events):
            if wanted(m):
                return self.events.pop(i)
        deadline = time.monotonic() + STEP_SECONDS
        while time.monotonic() < deadline:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                m = json.loads(raw)
                if wanted(m):
                    return m
                if "method" in m:
                    self.events.append(m)
            if select.select([self.replies], [], [], 0.2)[0]:
                chunk = os.read(self.replies, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium closed its pipe")
                self.buffer += chunk
        raise TimeoutError("no answer from chromium in %d s" % STEP_SECONDS)

    def call(self, method, params=None, session=None):
        i = self.send(method, params or {}, session)
        m = self.receive(lambda m: m.get("id") == i)
        if "error" in m:
            raise RuntimeError("%s: %s" % (method, m["error"]))
        return m["result"]

    def page(self, method, params=None):
        return self.call(method, params, self.session)

    def open(self, url, until=RESULT):
        """Navigates, waits for the load event, then evaluates `until` (by default: waits for
        the page to stop or refuse, and takes its result)."""
        self.events.clear()
        self.page("Page.navigate", {"url": url})
        self.receive(lambda m: m.get("method") == "Page.loadEventFired")
        return self.evaluate(until)

    def evaluate(self, expression):
        answer = self.page("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True})
        if "exceptionDetails" in answer:
            raise RuntimeError(json.dumps(answer["exceptionDetails"])[:500])
        return answer["result"].get("value")

    def close(self):
        try:
            self.call("Browser.close")
            self.proc.wait(timeout=5)
        except (OSError, RuntimeError, TimeoutError, subprocess.TimeoutExpired):
            pass
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait(timeout=10)
            os.close(self.commands)
            os.close(self.replies)


def serve(directory):
    """http.server on a port the OS picks, on 127.0.0.1 only; (process, port)."""
    proc = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                             "-d", directory], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL)
    line = b""
    deadline = time.monotonic() + STEP_SECONDS
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        if select.select([proc.stdout], [], [], 0.2)[0]:
            byte = os.read(proc.stdout.fileno(), 1)
            if not byte:
                break
            line += byte
    words = line.split()
    if b"port" not in words:
        proc.kill()
        proc.wait(timeout=10)
        raise RuntimeError("http.server did not start: %r" % line)
    return proc, int(words[words.index(b"port") + 1])


def run_lpcdemo(*args):
    return subprocess.run([LPCDEMO, "run", "--scale", "1", *args], capture_output=True,
                          text=True, timeout=STEP_SECONDS)


# The frames the tests compare with, as `lpcdemo run` writes them: started together before the
# browser, read when a test needs them.
REFERENCES = {
    "plasma": ["--effect", "plasma", "--frames", "60"],  # the keys pause it before frame 59
    "cake": ["--effect", "cake", "--frames", "100"],
    "fall": ["--effect", "fall", "--frames", "30"],
    "roundwave": ["--effect", "roundwave", "--frames", "30", "--audio", "noise:60"],
    "fftwave": ["--effect", "fftwave", "--frames", "30", "--audio", "tone:440:50"],
    "showcase": ["--effect", "showcase", "--start", "118", "--frames", "4"],
    "wrap": ["--effect", "fall", "--start", "2147483646", "--frames", "4"],
    "demo": ["--effect", "demo"],
    "tone": ["--effect", "fftwave", "--frames", "12", "--audio", "tone:1000"],
    "silence": ["--effect", "fftwave", "--frames", "3", "--audio", "silence"],
}


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        d = cls.tmp.name
        # The fake microphone: 3 s of 1 kHz at 48 kHz, 12000 of 32767 (the page's mic scales
        # full scale to 100 codes: some 37 codes either side of the mid code).
        cls.wav = f"{d}/tone1k.wav"
        with wave.open(cls.wav, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(48000)
            w.writeframes(b"".join(struct.pack("<h", round(12000 * math.sin(2 * math.pi * 1000 * i / 48000)))
                                   for i in range(48000 * 3)))
        cls.server = cls.browser = None
        cls.runs = {name: subprocess.Popen([LPCDEMO, "run", "--scale", "1", *args, "--png-dir",
                                            f"{d}/{name}"], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, text=True)
                    for name, args in REFERENCES.items()}
        try:
            cls.server, port = serve(SITE)
            cls.base = "http://127.0.0.1:%d/" % port
            cls.browser = Browser(f"{d}/profile", cls.wav)
        except BaseException:
            cls.stop()
            raise

    @classmethod
    def stop(cls):
        try:
            if cls.browser:
                cls.browser.close()
        finally:
            if cls.server:
                cls.server.kill()
                cls.server.wait(timeout=10)
            for run in cls.runs.values():
                if run.poll() is None:
                    run.kill()
                run.communicate(timeout=10)
            cls.tmp.cleanup()

    @classmethod
    def tearDownClass(cls):
        cls.stop()

    def show(self, **query):
        return self.browser.open(self.base + "?" + urllib.parse.urlencode(query, safe=":/"))

    def show_with(self, script, **query):
        """As show, with `script` run first in the page (a browser that lacks something)."""
        if not script:
            return self.show(**query)
        added = self.browser.page("Page.addScriptToEvaluateOnNewDocument", {"source": script})
        try:
            return self.show(**query)
        finally:
            self.browser.page("Page.removeScriptToEvaluateOnNewDocument",
                              {"identifier": added["identifier"]})

    def reference(self, name, k):
        """Frame k of the reference run `name`."""
        run = self.runs[name]
        _, err = run.communicate(timeout=STEP_SECONDS)
        self.assertEqual(run.returncode, 0, err)
        return pixels.read_png(f"{self.tmp.name}/{name}/frame{k:04d}.png")[2]

    def test_canvas_holds_the_frames_run_writes(self):
        # Each effect at frames 0 and 29, with audio spelled as --audio spells it (the chord
        # spelled out, and left out); the showcase from plasma's 119th frame across its switch to
        # the cake at global frame 120, the line under the canvas naming the effect shown and its
        # rate on the board; the fall across the counter's wrap, 2147483646 + 3 being -2147483647
        # as a signed 32-bit number; demo's last frame, its main's 50th. The module's memory
        # after 100 frames is what it was after one: a page may run for hours.
        fps = {e["name"]: e["fps"] for e in json.loads(pathlib.Path(SITE, "bench.json").read_text())["effects"]}
        cases = [  # reference, frame of it, the page's query, data-frame expected, status
            ("plasma", 0, "effect=plasma&frames=1", "0", None),
            ("plasma", 29, "effect=plasma&frames=30", "29", None),
            ("cake", 0, "effect=cake&frames=1", "0", None),
            ("cake", 29, "effect=cake&frames=30", "29", None),
            ("cake", 99, "effect=cake&frames=100", "99", None),
            ("fall", 0, "effect=fall&frames=1&audio=chord", "0", None),
            ("fall", 29, "effect=fall&frames=30", "29", None),
            ("roundwave", 0, "effect=roundwave&frames=1&audio=noise:60", "0", None),
            ("roundwave", 29, "effect=roundwave&frames=30&audio=noise:60", "29", None),
            ("fftwave", 0, "effect=fftwave&frames=1&audio=tone:440:50", "0", None),
            ("fftwave", 29, "effect=fftwave&frames=30&audio=tone:440:50", "29", None),
            ("showcase", 1, "effect=showcase&start=118&frames=2", "119",
             "showcase: plasma · frame 119 · board %.2f fps" % fps["plasma"]),
            ("showcase", 3, "effect=showcase&start=118&frames=4", "121",
             "showcase: cake · frame 121 · board %.2f fps" % fps["cake"]),
            ("wrap", 3, "effect=fall&start=2147483646&frames=4", "-2147483647", None),
            ("demo", 49, "effect=demo", "49", None),
        ]
        memory = {}
        for name, k, query, frame, status in cases:
            with self.subTest(query=query):
                got = self.browser.open(self.base + "?" + query + "&pace=fast")
                self.assertIsNone(got["refused"])
                self.assertEqual(got["frame"], frame)
                self.assertEqual(got["done"]["frames"], k + 1)
                self.assertTrue(canvas_rows(got["pixels"]) == self.reference(name, k),
                                "the canvas is not frame %d of lpcdemo run %s"
                                % (k, " ".join(REFERENCES[name])))
                if status:
                    self.assertTrue(got["status"].startswith(status), got["status"])
                memory[query] = got["done"]["memory"]
        self.assertEqual(memory["effect=cake&frames=100"], memory["effect=cake&frames=1"])

    def test_refusals_are_messages_and_a_new_instance_follows_a_trap(self):
        # The module's own refusals (an unknown effect, a frequency of 0 Hz, a start for demo,
        # a file source, which only the command line reads) and the page's (a start that is no
        # number, a pace it does not know): each a line on the page, the run's where it has one.
        _, _, cli_tone = run_lpcdemo("--effect", "plasma", "--frames", "1", "--audio", "tone:0") \
            .stderr.partition("lpcdemo: ")
        cases = [
            ({"effect": "nosuch"}, "unknown effect nosuch"),
            ({"effect": "plasma", "audio": "tone:0"}, cli_tone.strip()),
            ({"effect": "demo", "start": "3"}, "demo runs the image's own main from reset"),
            ({"effect": "fall", "audio": "wav:/x.wav"}, "wav:/x.wav"),
            ({"effect": "cake", "start": "12abc"}, "start '12abc' is not a whole number"),
            ({"effect": "cake", "start": "2147483648"}, "is not a whole number"),
            ({"effect": "cake", "frames": "0"}, "frames '0' is not a whole number from 1"),
            ({"effect": "demo", "start": "-5"}, "demo runs the image's own main from reset"),
            ({"effect": "cake", "pace": "slow"}, "pace 'slow'"),
        ]
        for query, words in cases:
            with self.subTest(query=query):
                got = self.show(**query)
                self.assertIsNotNone(got["refused"], got)
                self.assertIn(words, got["refused"])
                self.assertEqual(got["refused"], got["message"])
                self.assertIsNone(got["done"])
        # After the trap of the last module refusal the form opens the plasma on a new instance,
        # rewriting the URL.
        self.show(effect="nosuch")
        self.browser.evaluate("""{
            const form = document.getElementById('controls'), c = form.elements;
            c.effect.value = 'plasma'; c.frames.value = '2'; c.pace.value = 'fast';
            form.dispatchEvent(new Event('change'));
        }""")
        got = self.browser.evaluate(RESULT)
        self.assertIsNone(got["refused"])
        self.assertEqual(got["frame"], "1")
        self.assertEqual(urllib.parse.parse_qs(got["search"][1:]),
                         {"effect": ["plasma"], "frames": ["2"], "pace": ["fast"]})
        self.assertTrue(canvas_rows(got["pixels"]) == self.reference("plasma", 1))

    def test_without_webassembly_the_page_says_so(self):
        got = self.show_with("delete globalThis.WebAssembly;", effect="plasma")
        self.assertIn("WebAssembly", got["refused"] or "")
        self.assertTrue(got["hidden"])

    def test_microphone(self):
        # Chromium's fake capture plays the 1 kHz file: the tallest bar stands where a 1 kHz
        # tone puts it. The bar is found on the board's own picture of the tone, not placed by
        # hand: 1 kHz is bin 1000 / (12784 / 256) = 20 of the spectrum. Once with the audio
        # context at the converter's rate, once in a browser that refuses that rate, where the
        # worklet resamples from the device's own (48 kHz here).
        refuse_rate = """{
            const Native = window.AudioContext;
            window.AudioContext = class extends Native {
                constructor(options) {
                    if (options?.sampleRate) throw new DOMException('rate', 'NotSupportedError');
                    super(options);
                }
            };
        }"""
        for script in (None, refuse_rate):
            with self.subTest(resampled=bool(script)):
                got = self.show_with(script, effect="fftwave", audio="mic", frames="12", pace="fast")
                self.assertIsNone(got["refused"])
                self.assertEqual(got["message"], "")
                self.assertEqual(bar_column(canvas_rows(got["pixels"])),
                                 bar_column(self.reference("tone", 11)))
        # A refused microphone is a message, and the effect runs on the queue's zero level: the
        # mid code, as silence gives it.
        got = self.show_with("""navigator.mediaDevices.getUserMedia = () =>
            Promise.reject(new DOMException('refused', 'NotAllowedError'));""",
                             effect="fftwave", audio="mic", frames="3", pace="fast")
        self.assertIn("microphone was refused", got["message"])
        self.assertTrue(canvas_rows(got["pixels"]) == self.reference("silence", 2))

    def frame_after(self, seconds):
        self.browser.evaluate("new Promise(r => setTimeout(r, %d))" % (seconds * 1000))
        return int(self.browser.evaluate("document.getElementById('lcd').dataset.frame"))

    def key(self, key, code, keycode):
        for kind in ("keyDown", "keyUp"):
            self.browser.page("Input.dispatchKeyEvent", {
                "type": kind, "key": key, "code": code, "windowsVirtualKeyCode": keycode,
                **({"text": key} if kind == "keyDown" and len(key) == 1 else {})})

    def test_keys_pause_step_and_save(self):
        # Space pauses (no frame in 0.3 s, some 11 of the plasma's at the board's pace), the
        # right arrow shows one frame more, s saves it at four times as lpcdemo-plasma-N.png,
        # space again goes on.
        saved = f"{self.tmp.name}/saved"
        self.browser.call("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": saved})
        shown = int(self.browser.open(self.base + "?effect=plasma", """new Promise(resolve => {
            const lcd = document.getElementById('lcd'), t0 = performance.now();
            const poll = () => lcd.dataset.frame >= 2 || performance.now() - t0 > 10000
                ? resolve(lcd.dataset.frame) : setTimeout(poll, 5);
            poll();
        })"""))
        # The frame 1:1 in the canvas, shown at four times with square pixels (style.css).
        self.assertEqual(self.browser.evaluate("""(() => {
            const lcd = document.getElementById('lcd'), box = lcd.getBoundingClientRect();
            return [lcd.width, lcd.height, box.width - 2 * lcd.clientLeft,
                    box.height - 2 * lcd.clientTop, getComputedStyle(lcd).imageRendering];
        })()"""), [WIDTH, HEIGHT, 4 * WIDTH, 4 * HEIGHT, "pixelated"])
        self.key(" ", "Space", 32)
        paused = self.frame_after(0.05)
        self.assertGreaterEqual(paused, shown)
        self.assertEqual(self.frame_after(0.3), paused)
        status = self.browser.evaluate("document.getElementById('status').textContent")
        self.assertEqual(status.split(" · ")[:3] + status.split(" · ")[-1:],
                         ["plasma", "frame %d" % paused, "board 36.65 fps", "paused"])
        self.key("ArrowRight", "ArrowRight", 39)
        self.assertEqual(self.frame_after(0.3), paused + 1)
        self.key("s", "KeyS", 83)
        path = pathlib.Path(saved, "lpcdemo-plasma-%d.png" % (paused + 1))
        for _ in range(100):  # 5 s at most
            if path.exists():
                break
            time.sleep(0.05)
        width, height, rows = pixels.read_png(path)
        self.assertEqual((width, height), (4 * WIDTH, 4 * HEIGHT))
        self.assertTrue([row[1::4] for row in rows[1::4]] == self.reference("plasma", paused + 1))
        self.key(" ", "Space", 32)
        self.assertGreater(self.frame_after(0.3), paused + 1)

    def test_board_pace(self):
        # Paced, each frame follows the one before by the board's frame time of the effect it
        # showed (bench.json): the showcase's frames 474..479 are the round wave's (27.88 fps on
        # the board), 480..485 the spectrum's (14.97 fps). 11 intervals from the first frame to
        # the last: 6 of 1/27.88 s and 5 of 1/14.97 s, 0.549 s; one rate for all would give
        # 0.395 s or 0.735 s. The page may come late by an animation frame, never early.
        bench = {e["name"]: e["fps"] for e in json.loads(pathlib.Path(SITE, "bench.json").read_text())["effects"]}
        expected = 6 / bench["roundwave"] + 5 / bench["fftwave"]
        got = self.show(effect="showcase", start="474", frames="12", pace="board")
        self.assertEqual(got["frame"], "485")
        self.assertGreater(got["done"]["seconds"], expected - 0.02)
        self.assertLess(got["done"]["seconds"], expected * 1.25)


if __name__ == "__main__":
    LPCDEMO, SITE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
