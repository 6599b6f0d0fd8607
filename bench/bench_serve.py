#!/usr/bin/python3
"""Tiles per second and 99th-percentile latency of `pyra serve` for random Deep
Zoom tiles, 8 concurrent clients on 127.0.0.1, cold cache (a fresh server, each
tile asked once) and warm cache (the same tiles again), beside the field's
reference arrangement measured in the same run: a Flask server over
openslide-python's DeepZoomGenerator on a pyramidal JPEG TIFF that vips makes
from the same source image.

usage: bench/bench_serve.py [--pyra build/pyra] [--size 8192] [--tiles 400] [--clients 8]
Needs python3-flask, python3-openslide and libvips-tools (scripts/setup.sh).
"""
import argparse
import http.client
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
from PIL import Image

MICROGRAPH = Path("/var/cache/pyradec/sample/ihc.png")

ANCHOR_APP = r'''
import sys
from io import BytesIO
from flask import Flask, abort, make_response
import openslide
from openslide.deepzoom import DeepZoomGenerator

app = Flask(__name__)
slide = openslide.OpenSlide(sys.argv[1])
dz = DeepZoomGenerator(slide, tile_size=254, overlap=1, limit_bounds=False)

@app.route("/dzi/slide.dzi")
def dzi():
    resp = make_response(dz.get_dzi("jpeg"))
    resp.mimetype = "application/xml"
    return resp

@app.route("/dzi/slide_files/<int:level>/<int:col>_<int:row>.jpeg")
def tile(level, col, row):
    try:
        t = dz.get_tile(level, (col, row))
    except ValueError:
        abort(404)
    buf = BytesIO()
    t.save(buf, "jpeg", quality=75)
    resp = make_response(buf.getvalue())
    resp.mimetype = "image/jpeg"
    return resp

app.run(host="127.0.0.1", port=int(sys.argv[2]), threaded=True)
'''


def source_image(size, path):
    """A mirrored mosaic of the micrograph (a synthetic pattern without it)."""
    if MICROGRAPH.exists():
        m = np.asarray(Image.open(MICROGRAPH).convert("RGB"))
        row = np.concatenate([m, m[:, ::-1]], axis=1)
        block = np.concatenate([row, row[::-1]], axis=0)
        reps = -(-size // block.shape[0]), -(-size // block.shape[1])
        img = np.tile(block, (reps[0], reps[1], 1))[:size, :size]
        what = f"a mirrored mosaic of {MICROGRAPH.name}"
    else:
        y, x = np.mgrid[0:size, 0:size]
        img = np.stack([x * 255 // size, y * 255 // size, (x ^ y) & 255], -1).astype(np.uint8)
        what = "a synthetic pattern (run scripts/sample-micrograph.sh for the micrograph)"
    Image.fromarray(img).save(path, compress_level=1)
    return what


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_up(port, path, proc):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"bench_serve: server on port {port} exited")
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            c.request("GET", path)
            if c.getresponse().status == 200:
                return
        except OSError:
            time.sleep(0.2)
    sys.exit(f"bench_serve: server on port {port} did not answer")


def run(port, paths, clients):
    """Requests every path once, `clients` at a time; returns (tiles/s, p99 ms)."""
    work = queue.Queue()
    for p in paths:
        work.put(p)
    latencies, errors = [], []
    lock = threading.Lock()

    def client():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        while True:
            try:
                path = work.get_nowait()
            except queue.Empty:
                break
            t0 = time.perf_counter()
            try:
                conn.request("GET", path)
                r = conn.getresponse()
                body = r.read()
                if r.status != 200 or body[:2] != b"\xff\xd8":
                    raise RuntimeError(f"{path}: {r.status}")
            except (OSError, http.client.HTTPException, RuntimeError) as e:
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
                with lock:
                    errors.append(repr(e))
                continue
            with lock:
                latencies.append(time.perf_counter() - t0)
        conn.close()

    t0 = time.perf_counter()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    if errors:
        sys.exit(f"bench_serve: {len(errors)} failed requests, first: {errors[0]}")
    return len(paths) / wall, float(np.percentile(latencies, 99)) * 1000


def tile_paths(prefix, size, count, seed=1):
    """Distinct random tiles over every level, most from the large levels."""
    dims = [(size, size)]
    while dims[-1] != (1, 1):
        dims.append(((dims[-1][0] + 1) // 2, (dims[-1][1] + 1) // 2))
    dims.reverse()
    rng = random.Random(seed)
    chosen = set()
    while len(chosen) < count:
        level = min(len(dims) - 1, int(len(dims) * rng.random() ** 0.25))
        cols, rows = -(-dims[level][0] // 254), -(-dims[level][1] // 254)
        chosen.add((level, rng.randrange(cols), rng.randrange(rows)))
    paths = [f"{prefix}_files/{l}/{c}_{r}.jpeg" for l, c, r in chosen]
    rng.shuffle(paths)
    return paths


def measure(name, cmd, port, prefix, size, count, clients):
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_up(port, f"{prefix}.dzi", proc)
        paths = tile_paths(prefix, size, count)
        cold = run(port, paths, clients)
        warm = run(port, paths, clients)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
    print(f"  {name:<34} cold {cold[0]:7.1f} tiles/s  p99 {cold[1]:7.1f} ms   "
          f"warm {warm[0]:7.1f} tiles/s  p99 {warm[1]:7.1f} ms", flush=True)
    return cold, warm


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pyra", default=str(Path(__file__).resolve().parent.parent / "build" / "pyra"))
    ap.add_argument("--size", type=int, default=8192, help="source image side, pixels")
    ap.add_argument("--tiles", type=int, default=400, help="distinct tiles per pass")
    ap.add_argument("--clients", type=int, default=8)
    a = ap.parse_args()
    for tool in ("vips",):
        if not shutil.which(tool):
            sys.exit("bench_serve: vips is needed (scripts/setup.sh)")

    with tempfile.TemporaryDirectory(prefix="bench-serve-") as tmp:
        tmp = Path(tmp)
        src = tmp / "source.png"
        what = source_image(a.size, src)
        print(f"bench_serve: {a.size} x {a.size} pixels, {what}; {a.tiles} distinct random tiles per pass, "
              f"{a.clients} clients, 127.0.0.1, {os.cpu_count()} cores (clients share them)", flush=True)
        subprocess.run([a.pyra, "make", str(src), str(tmp / "slide.pyra"), "--tile", "256", "--quality", "80"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["vips", "tiffsave", str(src), str(tmp / "slide.tif"), "--tile", "--pyramid",
                        "--tile-width", "256", "--tile-height", "256", "--compression", "jpeg", "--Q", "80"],
                       check=True)
        port = free_port()
        ours = measure("pyra serve", [a.pyra, "serve", str(tmp / "slide.pyra"), "--port", str(port)],
                       port, "/dzi/slide.pyra", a.size, a.tiles, a.clients)
        port = free_port()
        anchor_py = tmp / "anchor.py"
        anchor_py.write_text(ANCHOR_APP)
        anchor = measure("anchor: Flask + openslide DeepZoom", ["/usr/bin/python3", str(anchor_py),
                         str(tmp / "slide.tif"), str(port)], port, "/dzi/slide", a.size, a.tiles, a.clients)
    cold_ratio = ours[0][0] / anchor[0][0]
    warm_ratio = ours[1][0] / anchor[1][0]
    print(f"  ratio: cold {cold_ratio:.1f}x, warm {warm_ratio:.1f}x the anchor's tiles/s "
          f"(goal: cold >= 5x: {'met' if cold_ratio >= 5 else 'NOT met'})")


if __name__ == "__main__":
    main()
