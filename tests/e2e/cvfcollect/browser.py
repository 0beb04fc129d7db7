"""Headless Chromium for the tests of cvfcollect's live page.

Browser starts Debian's chromium with no network of its own beyond the URL
it is given (no first-run, sync, update or background traffic) and drives
it over the DevTools protocol on a pipe (--remote-debugging-pipe), so a
test waits on the page's real clock for what it expects, reads the DOM as
the page's scripts left it, and takes screenshots:

    with Browser() as b:
        b.open("http://127.0.0.1:%d/" % port)
        b.wait_for("document.body.dataset.updated >= 3")
        rows = b.rows()          # [{"gw": 1, "line": 2, "state": ..., "fields": {...}}]
        b.screenshot("page.png")
"""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time

CHROMIUM = shutil.which("chromium")

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--mute-audio"]

# The rows of the page as plain data: each element with data-gw, data-line,
# data-state and the text of its elements that carry data-field.
ROWS_JS = """Array.from(document.querySelectorAll('[data-gw]')).map(row => {
  const fields = {};
  for (const el of row.querySelectorAll('[data-field]')) fields[el.dataset.field] = el.textContent;
  return {gw: +row.dataset.gw, line: +row.dataset.line, state: row.dataset.state, fields};
})"""


class BrowserError(Exception):
    pass


class Browser:
    """One headless Chromium with one page; a context manager."""

    def __init__(self, width=1280, height=800, timeout=30.0):
        if not CHROMIUM:
            raise BrowserError("chromium is not installed (scripts/deps.sh)")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="cv-chromium-")
        to_child, self._cmd = os.pipe()
        self._resp, from_child = os.pipe()

        def pipes_at_3_and_4():
            # Moved out of the way first: either may be 3 or 4 already.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_child, from_child)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.proc = subprocess.Popen(
            [CHROMIUM] + FLAGS + ["--remote-debugging-pipe", "--user-data-dir=" + self.profile,
                                  "--window-size=%d,%d" % (width, height), "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=pipes_at_3_and_4, close_fds=False)
        os.close(to_child)
        os.close(from_child)
        self._buf = b""
        self._next = 0
        self.session = None
        self.size = (width, height)

    # --- Protocol -------------------------------------------------------------

    def _read_message(self, deadline):
        while b"\0" not in self._buf:
            if time.monotonic() > deadline:
                raise BrowserError("chromium did not answer in time")
            chunk = os.read(self._resp, 1 << 16)
            if not chunk:
                raise BrowserError("chromium closed its pipe (exit %s)" % self.proc.poll())
            self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, session=True, **params):
        """Sends one command (to the page unless session is False) and
        returns its result."""
        self._next += 1
        msg = {"id": self._next, "method": method, "params": params}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self._cmd, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next:
                if "error" in reply:
                    raise BrowserError("%s: %s" % (method, reply["error"]))
                return reply["result"]

    # --- The page ---------------------------------------------------------------

    def open(self, url):
        """Loads url in a fresh page, waiting until its document is loaded."""
        target = self.call("Target.createTarget", session=False, url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", session=False, targetId=target,
                                 flatten=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride", width=self.size[0], height=self.size[1],
                  deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", url=url)
        self.wait_for("document.readyState === 'complete'")

    def evaluate(self, expr):
        """The value of a JavaScript expression in the page (promises awaited)."""
        r = self.call("Runtime.evaluate", expression=expr, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise BrowserError("%s: %s" % (expr, r["exceptionDetails"].get("text")))
        return r["result"].get("value")

    def wait_for(self, expr, timeout=None, interval=0.2):
        """Waits until expr is true in the page; returns its value."""
        deadline = time.monotonic() + (timeout if timeout is not None else self.timeout)
        while True:
            value = self.evaluate(expr)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("page: not true in time: %s" % expr)
            time.sleep(interval)

    def dom(self):
        """The document as the page's scripts left it."""
        return self.evaluate("document.documentElement.outerHTML")

    def rows(self):
        return self.evaluate(ROWS_JS)

    def body(self):
        """The attributes of <body> (data-updated, data-stale, ...)."""
        return self.evaluate("Object.assign({}, document.body.dataset)")

    def screenshot(self, path, full_page=False):
        params = {"format": "png"}
        if full_page:
            params["captureBeyondViewport"] = True
        data = self.call("Page.captureScreenshot", **params)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    # --- Lifetime ---------------------------------------------------------------

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close", session=False)
                self.proc.wait(timeout=10)
            except (BrowserError, OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for fd in (self._cmd, self._resp):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
