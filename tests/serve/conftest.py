"""Shared pieces of the pyra serve tests: slides made with `pyra make`, a real
server on 127.0.0.1 (a free port), and plain HTTP over the standard library."""
import http.client
import io
import os
import queue
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

PYRA = os.environ.get("PYRA", "")
ORACLE = os.environ.get("SERVE_TILE_ORACLE", "")


def pattern(width, height, seed=0):
    """An image with structure at every scale: gradients, rings and noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    r = np.hypot(x - width * 0.4, y - height * 0.6)
    img = np.stack([
        255 * x / max(width - 1, 1),
        127 + 120 * np.sin(r / (min(width, height) / 12)),
        255 * y / max(height - 1, 1),
    ], axis=-1)
    img += rng.normal(0, 12, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def make_slide(out, width, height, tile=256, seed=0, extra=()):
    """Writes a slide with the tool's writer; returns the source pixels."""
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    pixels = pattern(width, height, seed)
    src = out.with_suffix(".src.png")
    Image.fromarray(pixels).save(src)
    subprocess.run([PYRA, "make", str(src), str(out), "--tile", str(tile), *extra],
                   check=True, stdout=subprocess.DEVNULL)
    src.unlink()
    return pixels


def dz_levels(width, height):
    """Deep Zoom level sizes, smallest (1 x 1) first: halving with rounding up."""
    dims = [(width, height)]
    while dims[-1] != (1, 1):
        w, h = dims[-1]
        dims.append(((w + 1) // 2, (h + 1) // 2))
    return dims[::-1]


def dz_tile_size(level_size, col, row, tile=254, overlap=1):
    """A tile's pixel size: tile_size plus overlap on each side with a neighbour."""
    out = []
    for length, t in ((level_size[0], col), (level_size[1], row)):
        count = -(-length // tile)
        out.append(min(tile, length - t * tile) + (overlap if t > 0 else 0)
                   + (overlap if t < count - 1 else 0))
    return tuple(out)


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        return self.headers.get(name.lower())


class Server:
    """`pyra serve ROOT --port 0 ARGS...`, stopped with SIGTERM."""

    def __init__(self, root, *args, log_dir=None):
        self.log_path = Path(log_dir or root) / f"serve-{time.monotonic_ns()}.log"
        self.log = open(self.log_path, "w+")
        self.proc = subprocess.Popen([PYRA, "serve", str(root), "--port", "0", *args],
                                     stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.url = None
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l) for l in self.proc.stdout] + [lines.put("")],
                         daemon=True).start()
        out = ""
        while self.url is None:
            try:
                line = lines.get(timeout=30)
            except queue.Empty:
                line = ""
            if not line:
                self.proc.kill()
                raise RuntimeError(f"pyra serve did not start: {out}{self.stderr()}")
            out += line
            if "http://" in line:
                self.url = line[line.index("http://"):].split()[0].rstrip("/")
        self.banner = out
        hostport = self.url[len("http://"):]
        self.host, port = hostport.rsplit(":", 1)
        self.port = int(port)

    def stderr(self):
        self.log.flush()
        return self.log_path.read_text()

    def request(self, path, method="GET", headers=None, body=None):
        """One request on a new connection; `path` is sent exactly as given."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            conn.putrequest(method, path, skip_accept_encoding=True)
            for k, v in (headers or {}).items():
                conn.putheader(k, v)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            r = conn.getresponse()
            data = r.read()
            return Response(r.status, {k.lower(): v for k, v in r.getheaders()}, data)
        finally:
            conn.close()

    def get(self, path, **kw):
        return self.request(path, **kw)

    def json(self, path):
        import json
        r = self.get(path)
        assert r.status == 200, (path, r.status, r.body)
        return json.loads(r.body)

    def raw(self, data, timeout=10):
        """Sends bytes on a new connection; returns all the server answers until it closes."""
        with socket.create_connection((self.host, self.port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            try:
                while True:
                    c = s.recv(65536)
                    if not c:
                        break
                    chunks.append(c)
            except socket.timeout:
                pass
            return b"".join(chunks)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("pyra serve did not stop on SIGTERM")
        self.log.close()
        return self.proc.returncode


def decode_jpeg(data):
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))


@pytest.fixture(scope="session", autouse=True)
def tools():
    if not PYRA or not Path(PYRA).exists():
        pytest.fail("PYRA must name the built pyra tool (run through ctest)")


@pytest.fixture
def serve(tmp_path):
    """Starts servers; each is stopped (and must exit 0) at the end of the test."""
    started = []

    def start(root, *args):
        s = Server(root, *args, log_dir=tmp_path)
        started.append(s)
        return s

    yield start
    for s in started:
        assert s.stop() == 0, s.stderr()


__all__ = ["Server", "make_slide", "pattern", "dz_levels", "dz_tile_size", "decode_jpeg",
           "ORACLE", "PYRA", "shutil"]
