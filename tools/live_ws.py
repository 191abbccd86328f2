"""A small WebSocket client on the standard library alone (RFC 6455, client side),
used to talk to tq_live and to Chromium's DevTools socket, and a helper that starts
tq_live and waits for its address."""
import base64
import json
import os
import socket
import struct
import subprocess
import threading
import time


class WebSocket:
    def __init__(self, url, rcvbuf=0, timeout=30):
        assert url.startswith("ws://")
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.partition(":")
        self.sock = socket.socket()
        if rcvbuf:  # a small window makes a client that stops reading fill up fast
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.send_lock = threading.Lock()
        self.sock.connect((host, int(port or 80)))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed during the handshake")
            head += chunk
        head, self.buf = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.split(b"\r\n")[0].decode())

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv(self):
        """The next message: str for text, bytes for binary (fragments joined)."""
        parts, first = [], None
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            mask = self._read(4) if b1 & 0x80 else None
            data = self._read(n)
            if mask:
                data = bytes(c ^ mask[i % 4] for i, c in enumerate(data))
            op = b0 & 0x0F
            if op == 8:
                raise ConnectionError("closed by the server")
            if op in (9, 10):
                continue
            first = op if first is None else first
            parts.append(data)
            if b0 & 0x80:
                data = b"".join(parts)
                return data.decode() if first == 1 else data

    def send(self, text):
        data = text.encode() if isinstance(text, str) else text
        op = 1 if isinstance(text, str) else 2
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x80 | op])
        head += bytes([0x80 | n]) if n < 126 else (bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536
                                                    else bytes([0x80 | 127]) + struct.pack(">Q", n))
        with self.send_lock:
            self.sock.sendall(head + mask + bytes(c ^ mask[i % 4] for i, c in enumerate(data)))

    def close(self):
        self.sock.close()


def frame_header(msg):
    """kind, speech frame number, driver index, sentence, audio samples of a frame message."""
    kind, frame, driver, sentence, n_audio = struct.unpack_from("<IiIII", msg)
    return kind, frame, driver, sentence, n_audio


def start_live(live, bundle, motion, *extra):
    """Starts tq_live on a free port; returns (process, http address)."""
    proc = subprocess.Popen([live, bundle, motion, "--port", "0", *extra], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if "open http://" not in line:
        proc.kill()
        raise RuntimeError(f"tq_live did not start: {line!r}")
    return proc, line.rsplit("open ", 1)[1].strip()


def stop_live(proc):
    proc.terminate()
    try:
        proc.wait(timeout=120)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise RuntimeError("tq_live did not stop within 120 s")
    if proc.returncode != 0:
        raise RuntimeError(f"tq_live exited with {proc.returncode}")


class Chromium:
    """Headless Chromium from Debian driven over its DevTools socket."""

    def __init__(self, user_dir):
        self.proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--autoplay-policy=no-user-gesture-required", "--window-size=900,900", "--disable-dev-shm-usage", "--remote-debugging-port=0",
             f"--user-data-dir={user_dir}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(user_dir, "DevToolsActivePort")
        for _ in range(300):
            if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
                break
            time.sleep(0.1)
        else:
            self.close()
            raise RuntimeError("chromium did not open its DevTools port")
        self.port = int(open(port_file).read().split()[0])
        self.tabs = []

    def open(self, url):
        """A new tab on url, as a Tab."""
        import urllib.request
        req = urllib.request.Request(f"http://127.0.0.1:{self.port}/json/new?{url}", method="PUT")
        info = json.load(urllib.request.urlopen(req, timeout=10))
        tab = Tab(info["webSocketDebuggerUrl"])
        self.tabs.append(tab)
        return tab

    def close(self):
        for t in self.tabs:
            t.ws.close()
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Tab:
    def __init__(self, url):
        self.ws = WebSocket(url)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            m = json.loads(self.ws.recv())
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]

    def eval(self, expr):
        r = self.call("Runtime.evaluate", expression=expr, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expr}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def wait(self, expr, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            v = self.eval(expr)
            if v:
                return v
            time.sleep(0.05)
        raise TimeoutError(f"{expr} stayed false for {timeout} s")
