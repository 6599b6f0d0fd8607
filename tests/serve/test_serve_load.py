"""pyra serve under a bounded load on 127.0.0.1: 16 clients asking for random
tiles across every level for 10 seconds while two others send malformed and
hostile requests. No valid request may fail, the server must answer afterwards,
and its memory must stay within --cache-mb plus a fixed bound."""
import http.client
import random
import socket
import threading
import time

from conftest import dz_levels, make_slide

CLIENTS = 16
SECONDS = 10
CACHE_MB = 16
# The slide's colour-correction table (112 MiB, shared by every open slide with
# the same colour parameters), code and libraries (about 30 MiB), free memory the
# four allocator arenas keep (up to 16 MiB each), worker stacks and tiles in flight.
FIXED_BOUND_MB = 260

BAD_REQUESTS = [
    b"garbage\r\n\r\n",
    b"BREW / HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/%2e%2e/%2e%2e/etc/passwd.dzi HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"b" * 20000 + b"\r\n\r\n",
    b"POST /slides.json HTTP/1.1\r\nHost: x\r\nContent-Length: 999999999\r\n\r\nabc",
    b"GET /dzi/big.pyra_files/99/0_0.jpeg HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/big.pyra_files/5/99999999999999_0.jpeg HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/big.pyra_files/5/-1_0.jpeg HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/%00.pyra.dzi HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /dzi/big.pyra_files/5/0_0.jpeg HTTP/1.1\r\nHost: x\r\nRange: bytes=999999-5\r\n\r\n",
    b"GET /dzi/big.pyra_fi",  # cut off mid-line
    b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(range(256)),  # a TLS hello
]


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def test_bounded_load(tmp_path, serve):
    make_slide(tmp_path / "slides" / "big.pyra", 2000, 1500, tile=256, seed=11, extra=["--mosaic", "12000x9000"])
    make_slide(tmp_path / "slides" / "small.pyra", 900, 700, tile=256, seed=12)
    server = serve(tmp_path / "slides", "--cache-mb", str(CACHE_MB))
    levels = dz_levels(12000, 9000)
    grids = [(-(-w // 254), -(-h // 254)) for w, h in levels]
    stop = time.monotonic() + SECONDS
    lock = threading.Lock()
    counts = {"ok": 0, "failed": [], "bad": 0, "bad_answers": set(), "reconnects": 0}
    peak = [rss_mb(server.proc.pid)]
    baseline = peak[0]

    def client(seed):
        rng = random.Random(seed)
        conn = http.client.HTTPConnection(server.host, server.port, timeout=60)
        while time.monotonic() < stop:
            # Every level, weighted towards the large ones where most tiles are.
            level = min(len(levels) - 1, int(len(levels) * rng.random() ** 0.3))
            cols, rows = grids[level]
            path = f"/dzi/big.pyra_files/{level}/{rng.randrange(cols)}_{rng.randrange(rows)}.jpeg"
            for attempt in range(2):
                try:
                    conn.request("GET", path)
                    r = conn.getresponse()
                    body = r.read()
                    ok = r.status == 200 and r.getheader("Content-Type") == "image/jpeg" and body[:2] == b"\xff\xd8"
                    with lock:
                        if ok:
                            counts["ok"] += 1
                        else:
                            counts["failed"].append((path, r.status, body[:100]))
                    break
                except (ConnectionError, http.client.HTTPException, OSError) as e:
                    # A kept-alive connection the server closed: retry once on a new one.
                    conn.close()
                    conn = http.client.HTTPConnection(server.host, server.port, timeout=60)
                    with lock:
                        counts["reconnects"] += 1
                        if attempt == 1:
                            counts["failed"].append((path, repr(e)))
        conn.close()

    def hostile(seed):
        rng = random.Random(seed)
        while time.monotonic() < stop:
            data = rng.choice(BAD_REQUESTS)
            try:
                with socket.create_connection((server.host, server.port), timeout=10) as s:
                    s.sendall(data)
                    if rng.random() < 0.5:
                        s.shutdown(socket.SHUT_WR)
                    answer = s.recv(64)
            except OSError:
                answer = b"(reset)"
            with lock:
                counts["bad"] += 1
                counts["bad_answers"].add(answer[:12])

    def sample():
        while time.monotonic() < stop + 1:
            peak[0] = max(peak[0], rss_mb(server.proc.pid))
            time.sleep(0.1)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
    threads += [threading.Thread(target=hostile, args=(100 + i,)) for i in range(2)]
    threads.append(threading.Thread(target=sample))
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    print(f"valid tiles {counts['ok']} ({counts['ok'] / SECONDS:.0f}/s), hostile requests {counts['bad']}, "
          f"reconnects {counts['reconnects']}, RSS {baseline:.0f} MB idle, {peak[0]:.0f} MB peak")
    print("answers to hostile requests:", sorted(counts["bad_answers"]))
    assert counts["failed"] == []
    assert counts["ok"] > 100 and counts["bad"] > 20
    # Never a server error for a bad request.
    assert not any(a.startswith(b"HTTP/1.1 5") for a in counts["bad_answers"])
    assert server.alive()
    assert server.get("/slides.json").status == 200
    assert server.get("/dzi/small.pyra_files/10/0_0.jpeg").status == 200
    stats = server.json("/stats.json")
    assert stats["tileCacheBytes"] <= stats["tileCacheCapacity"]
    assert stats["decodedCacheBytes"] <= stats["decodedCacheCapacity"]
    assert peak[0] <= CACHE_MB + FIXED_BOUND_MB, f"peak RSS {peak[0]:.0f} MB"
