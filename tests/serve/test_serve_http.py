"""pyra serve over HTTP on 127.0.0.1: every route on writer-made slides, tiles
against the C++ layer's Deep Zoom tiles, validators, error statuses, traversal
attempts, and slides damaged, deleted or replaced while served."""
import json
import os
import shutil
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from conftest import ORACLE, PYRA, Server, decode_jpeg, dz_levels, dz_tile_size, make_slide

ODD = "my slides/odd slide #1.pyra"
ODD_URL = "my%20slides/odd%20slide%20%231.pyra"


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """root/ with slides of several shapes, a file that is not a slide, links
    in and out; outside/ with a slide that must never be served."""
    base = tmp_path_factory.mktemp("serve")
    root, outside = base / "root", base / "outside"
    make_slide(root / "gradient.pyra", 2000, 1500, tile=256, seed=1)
    make_slide(root / ODD, 777, 555, tile=128, seed=2, extra=["--hevc"])
    make_slide(root / "ref.pyra", 300, 250, tile=256, seed=3)
    make_slide(outside / "secret.pyra", 640, 480, seed=4)
    (root / "fake.pyra").write_bytes(b"this is not a slide" * 100)
    (root / "notes.txt").write_text("not a slide")
    (root / "link-in.pyra").symlink_to(root / "gradient.pyra")
    (root / "link-out.pyra").symlink_to(outside / "secret.pyra")
    (root / "dir-out").symlink_to(outside, target_is_directory=True)
    return root


@pytest.fixture(scope="module")
def server(tree, tmp_path_factory):
    s = Server(tree, log_dir=tmp_path_factory.mktemp("log"))
    yield s
    assert s.stop() == 0, s.stderr()


def oracle(slide, addresses, tmp_path, tile=254, overlap=1, quality=75):
    """The C++ layer's tiles: {(level, col, row): (rgb array, jpeg bytes)}."""
    out = subprocess.run([ORACLE, str(slide), str(tile), str(overlap), str(quality), str(tmp_path),
                          *[f"{l}:{c}:{r}" for l, c, r in addresses]],
                         check=True, capture_output=True, text=True).stdout
    tiles = {}
    for line in out.splitlines():
        l, c, r, w, h = map(int, line.split())
        stem = tmp_path / f"{l}_{c}_{r}"
        rgb = np.frombuffer((stem.with_suffix(".rgb")).read_bytes(), np.uint8).reshape(h, w, 3)
        tiles[(l, c, r)] = (rgb, stem.with_suffix(".jpeg").read_bytes())
    return tiles


class LevelsOnly:
    """The slide's level sizes in the shape openslide-python's DeepZoomGenerator reads."""

    def __init__(self, dims):
        self.level_count = len(dims)
        self.level_dimensions = dims
        self.level_downsamples = tuple((dims[0][0] / w + dims[0][1] / h) / 2 for w, h in dims)
        self.properties = {}

    def get_best_level_for_downsample(self, downsample):
        return max([0] + [i for i, d in enumerate(self.level_downsamples) if d <= downsample])


def reference_tile_sizes(slide, addresses):
    """Tile sizes as the field's DeepZoomGenerator makes them: its read size,
    then PIL's aspect-keeping thumbnail step (which can round a side down)."""
    from openslide.deepzoom import DeepZoomGenerator
    info = json.loads(subprocess.run([PYRA, "info", str(slide), "--json"], check=True,
                                     capture_output=True, text=True).stdout)
    dz = DeepZoomGenerator(LevelsOnly(tuple((l["contentWidth"], l["contentHeight"]) for l in info["layers"])))
    sizes = {}
    for level, col, row in addresses:
        read = dz.get_tile_coordinates(level, (col, row))[2]
        image = Image.new("RGB", read)
        if image.size != dz.get_tile_dimensions(level, (col, row)):
            image.thumbnail(dz.get_tile_dimensions(level, (col, row)), Image.LANCZOS)
        sizes[(level, col, row)] = image.size
    return sizes


# ---- routes ----

@pytest.mark.parametrize("path, content_type", [
    ("/", "text/html"),
    ("/slides.json", "application/json"),
    ("/view/gradient.pyra", "text/html"),
    (f"/view/{ODD_URL}", "text/html"),
    ("/dzi/gradient.pyra.dzi", "application/xml"),
    ("/dzi/gradient.pyra_files/0/0_0.jpeg", "image/jpeg"),
    (f"/dzi/{ODD_URL}_files/10/3_2.jpeg", "image/jpeg"),
    ("/info/gradient.pyra.json", "application/json"),
    ("/associated/gradient.pyra/thumbnail.jpeg", "image/jpeg"),
    ("/associated/gradient.pyra/label.jpeg", "image/jpeg"),
    ("/associated/gradient.pyra/macro.jpeg", "image/jpeg"),
    ("/static/viewer.js", "text/javascript"),
    ("/static/pyra.css", "text/css"),
    ("/static/openseadragon/openseadragon.min.js", "text/javascript"),
    ("/static/openseadragon/images/zoomin_rest.png", "image/png"),
    ("/dzi/link-in.pyra.dzi", "application/xml"),
    ("/stats.json", "application/json"),
])
def test_route_answers_with_type_and_length(server, path, content_type):
    r = server.get(path)
    assert r.status == 200, (path, r.body[:200])
    assert r.header("content-type").startswith(content_type)
    assert int(r.header("content-length")) == len(r.body) > 0
    if content_type == "image/jpeg":
        assert r.body[:2] == b"\xff\xd8" and r.body[-2:] == b"\xff\xd9"
    if content_type == "application/json":
        json.loads(r.body)


def test_head_gives_headers_without_body(server):
    get = server.get("/dzi/gradient.pyra_files/11/1_1.jpeg")
    head = server.request("/dzi/gradient.pyra_files/11/1_1.jpeg", method="HEAD")
    assert head.status == 200 and head.body == b""
    assert head.header("content-length") == str(len(get.body))
    assert head.header("etag") == get.header("etag")


def test_slide_list_page_and_json(server):
    slides = {s["name"]: s for s in server.json("/slides.json")}
    # Slides under the root, links inside it; never links out, never other files.
    assert set(slides) == {"gradient.pyra", ODD, "ref.pyra", "fake.pyra", "link-in.pyra"}
    g = slides["gradient.pyra"]
    assert (g["width"], g["height"], g["levels"]) == (2000, 1500, 4)
    assert g["dzi"] == "/dzi/gradient.pyra.dzi" and g["view"] == "/view/gradient.pyra"
    assert set(g["associated"]) == {"thumbnail", "label", "macro"}
    assert slides[ODD]["view"] == f"/view/{ODD_URL}"
    assert "not a slide" in slides["fake.pyra"]["error"] and "width" not in slides["fake.pyra"]
    assert str(server.get("/").body.count(b"<tr>")) == "6"  # header row and five slides
    page = server.get("/").body.decode()
    assert f'href="/view/{ODD_URL}"' in page and "odd slide #1.pyra" in page
    assert f'src="/associated/{ODD_URL}/thumbnail.jpeg"' in page
    assert "secret" not in page and "notes.txt" not in page


def test_list_shows_names_escaped(tree, serve):
    make_slide(tree.parent / "escape" / "<b>&x'.pyra", 64, 64)
    s = serve(tree.parent / "escape")
    page = s.get("/").body.decode()
    assert "<b>" not in page and "&lt;b&gt;&amp;x&#39;.pyra" in page
    assert s.json("/slides.json")[0]["name"] == "<b>&x'.pyra"


@pytest.mark.parametrize("name, width, height", [
    ("gradient.pyra", 2000, 1500), (ODD_URL, 777, 555), ("ref.pyra", 300, 250)])
def test_descriptor_gives_size_and_tile_size(server, name, width, height):
    root = ET.fromstring(server.get(f"/dzi/{name}.dzi").body)
    ns = "{http://schemas.microsoft.com/deepzoom/2008}"
    assert root.tag == f"{ns}Image"
    assert (root.get("Format"), root.get("TileSize"), root.get("Overlap")) == ("jpeg", "254", "1")
    size = root.find(f"{ns}Size")
    assert (int(size.get("Width")), int(size.get("Height"))) == (width, height)


def test_reference_tile_vectors(server):
    # 300 x 250 at the defaults: 10 levels, 11 tiles, tile (9, 1, 0) of 47 x 250.
    levels = dz_levels(300, 250)
    assert len(levels) == 10
    assert sum(-(-w // 254) * -(-h // 254) for w, h in levels) == 11
    assert decode_jpeg(server.get("/dzi/ref.pyra_files/9/1_0.jpeg").body).shape == (250, 47, 3)
    assert decode_jpeg(server.get("/dzi/ref.pyra_files/9/0_0.jpeg").body).shape == (250, 255, 3)
    for path in ("/dzi/ref.pyra_files/9/2_0.jpeg", "/dzi/ref.pyra_files/9/0_1.jpeg",
                 "/dzi/ref.pyra_files/10/0_0.jpeg", "/dzi/ref.pyra_files/0/1_0.jpeg"):
        assert server.get(path).status == 404, path


def every_corner(width, height, tile=254):
    """Addresses at the corners and the middle of every level."""
    out = set()
    for level, (w, h) in enumerate(dz_levels(width, height)):
        cols, rows = -(-w // tile), -(-h // tile)
        for c in {0, cols // 2, cols - 1}:
            for r in {0, rows // 2, rows - 1}:
                out.add((level, c, r))
    return sorted(out)


@pytest.mark.parametrize("name, file, size", [
    ("gradient.pyra", "gradient.pyra", (2000, 1500)),
    (ODD_URL, ODD, (777, 555)),
])
def test_tiles_are_the_deep_zoom_tiles(server, tree, tmp_path, name, file, size):
    addresses = every_corner(*size)
    expected = oracle(tree / file, addresses, tmp_path)
    reference = reference_tile_sizes(tree / file, addresses)
    for (level, col, row), (rgb, jpeg) in expected.items():
        r = server.get(f"/dzi/{name}_files/{level}/{col}_{row}.jpeg")
        assert r.status == 200
        # Same pixels through the same encoder and settings: the same bytes.
        assert r.body == jpeg, (level, col, row)
        got = decode_jpeg(r.body)
        assert got.shape == rgb.shape
        assert got.shape[1::-1] == reference[(level, col, row)], (level, col, row)
        # Decoded, close to the pixels (tiny tiles of saturated noise lose
        # too much to chroma subsampling for a pixel comparison).
        if min(rgb.shape[:2]) >= 64:
            assert np.abs(got.astype(int) - rgb).mean() < 8


def test_full_resolution_tiles_match_regions(server, tree, tmp_path):
    """At the full-size level a tile is a plain region of level 0 (no resize):
    check the C++ tile arithmetic against `pyra region` at a few addresses."""
    top = len(dz_levels(2000, 1500)) - 1
    addresses = [(top, 0, 0), (top, 3, 2), (top, 7, 5), (top, 4, 0)]
    expected = oracle(tree / "gradient.pyra", addresses, tmp_path)
    for (level, col, row), (rgb, _) in expected.items():
        x, y = max(col * 254 - 1, 0), max(row * 254 - 1, 0)
        h, w = rgb.shape[:2]
        png = tmp_path / f"region_{col}_{row}.png"
        subprocess.run([PYRA, "region", str(tree / "gradient.pyra"), "0", str(x), str(y), str(w), str(h),
                        "-o", str(png)], check=True, capture_output=True)
        assert np.array_equal(np.asarray(Image.open(png).convert("RGB")), rgb), (col, row)


def test_options_change_tiles(tree, serve, tmp_path):
    s = serve(tree, "--tile-size", "510", "--overlap", "2", "--quality", "90")
    root = ET.fromstring(s.get("/dzi/gradient.pyra.dzi").body)
    assert (root.get("TileSize"), root.get("Overlap")) == ("510", "2")
    top = len(dz_levels(2000, 1500)) - 1
    expected = oracle(tree / "gradient.pyra", [(top, 1, 1)], tmp_path, tile=510, overlap=2, quality=90)
    r = s.get(f"/dzi/gradient.pyra_files/{top}/1_1.jpeg")
    assert r.body == expected[(top, 1, 1)][1]
    assert decode_jpeg(r.body).shape == (514, 514, 3)


def test_properties_json(server, tree):
    props = server.json("/info/gradient.pyra.json")
    assert all(isinstance(v, str) for v in props.values())
    assert props["pyradec.level-count"] == "4"
    assert props["pyradec.level[0].width"] == "2000" and props["pyradec.level[0].height"] == "1500"
    assert float(props["pyradec.mpp-x"]) > 0
    hashed = subprocess.run([PYRA, "hash", str(tree / "gradient.pyra")], check=True,
                            capture_output=True, text=True).stdout.split()[0]
    assert props["pyradec.quickhash-1"] == hashed
    assert any(k.startswith("pyra.") for k in props)


def test_associated_images_are_the_slides(server, tree, tmp_path):
    for which in ("thumbnail", "label", "macro"):
        out = tmp_path / f"{which}.png"
        subprocess.run([PYRA, "assoc", str(tree / "gradient.pyra"), which, "-o", str(out)],
                       check=True, capture_output=True)
        want = np.asarray(Image.open(out).convert("RGB")).astype(int)
        got = decode_jpeg(server.get(f"/associated/gradient.pyra/{which}.jpeg").body).astype(int)
        assert got.shape == want.shape and np.abs(got - want).mean() < 2, which


# ---- validators ----

@pytest.mark.parametrize("path, cache", [
    ("/dzi/gradient.pyra_files/10/1_1.jpeg", "max-age"),
    ("/associated/gradient.pyra/label.jpeg", "max-age"),
    ("/dzi/gradient.pyra.dzi", "no-cache"),
    ("/info/gradient.pyra.json", "no-cache"),
    ("/static/viewer.js", "max-age"),
])
def test_etag_and_304(server, path, cache):
    r = server.get(path)
    etag = r.header("etag")
    assert etag and etag.startswith('"') and cache in r.header("cache-control")
    for header in (etag, f"W/{etag}", f'"other", {etag}', "*"):
        again = server.get(path, headers={"If-None-Match": header})
        assert again.status == 304 and again.body == b"", header
        assert again.header("etag") == etag
    assert server.get(path, headers={"If-None-Match": '"other"'}).body == r.body


def test_etags_differ_between_tiles_and_settings(server, tree, serve):
    a = server.get("/dzi/gradient.pyra_files/10/0_0.jpeg").header("etag")
    b = server.get("/dzi/gradient.pyra_files/10/1_0.jpeg").header("etag")
    c = serve(tree, "--quality", "50").get("/dzi/gradient.pyra_files/10/0_0.jpeg").header("etag")
    assert len({a, b, c}) == 3


# ---- errors ----

@pytest.mark.parametrize("path, status", [
    ("/nothing", 404),
    ("/dzi/missing.pyra.dzi", 404),
    ("/dzi/fake.pyra.dzi", 404),
    ("/info/fake.pyra.json", 404),
    ("/dzi/notes.txt.dzi", 404),
    ("/dzi/gradient.pyra_files/12/0_0.jpeg", 404),
    ("/dzi/gradient.pyra_files/11/8_0.jpeg", 404),
    ("/dzi/gradient.pyra_files/11/0_6.jpeg", 404),
    ("/dzi/gradient.pyra_files/99999999999999999999/0_0.jpeg", 404),
    ("/dzi/gradient.pyra_files/0/0_0.png", 404),
    ("/dzi/gradient.pyra_files/0/00.jpeg", 400),
    ("/dzi/gradient.pyra_files/-1/0_0.jpeg", 400),
    ("/dzi/gradient.pyra_files/0/0_x.jpeg", 400),
    ("/dzi/gradient.pyra_files/0/0_0_0.jpeg", 400),
    ("/dzi/gradient.pyra_files//0_0.jpeg", 400),
    ("/associated/gradient.pyra/other.jpeg", 404),
    ("/associated/missing.pyra/label.jpeg", 404),
    ("/view/missing.pyra", 404),
    ("/static/missing.js", 404),
    ("/dzi/a//b.pyra.dzi", 400),
    ("/info/.json", 400),
])
def test_error_statuses(server, path, status):
    r = server.get(path)
    assert r.status == status, (path, r.body)
    assert r.header("content-type").startswith("text/plain") and r.body.startswith(str(status).encode())
    assert r.header("etag") is None


def test_unreadable_slide_says_why(server):
    assert b"not a slide" in server.get("/dzi/fake.pyra.dzi").body


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"])
def test_other_methods_get_405(server, method):
    r = server.request("/dzi/gradient.pyra.dzi", method=method, body=b"x" * 10)
    assert r.status == 405 and r.header("allow") == "GET, HEAD"


@pytest.mark.parametrize("request_bytes, statuses", [
    (b"BREW /slides.json HTTP/1.1\r\nHost: x\r\n\r\n", {b"400"}),
    (b"garbage\r\n\r\n", {b"400"}),
    (b"GET /" + b"a" * 10000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", {b"414"}),
    (b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"b" * 10000 + b"\r\n\r\n", {b"400", b"431"}),
    (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n", {b"413", b"405"}),
    (b"GET /dzi/%00.pyra.dzi HTTP/1.1\r\nHost: x\r\n\r\n", {b"400"}),
    (b"GET /dzi/a%0d%0aX:%20y.pyra.dzi HTTP/1.1\r\nHost: x\r\n\r\n", {b"400"}),
    (b"GET /dzi/%ff%fe.pyra.dzi HTTP/1.1\r\nHost: x\r\n\r\n", {b"404"}),
])
def test_malformed_requests(server, request_bytes, statuses):
    answer = server.raw(request_bytes)
    assert answer[9:12] in statuses, answer[:200]
    assert b"\r\nX: y" not in answer
    assert server.get("/slides.json").status == 200


# ---- traversal ----

@pytest.mark.parametrize("path", [
    "/dzi/../outside/secret.pyra.dzi",
    "/dzi/%2e%2e/outside/secret.pyra.dzi",
    "/dzi/%2E%2E%2Foutside%2Fsecret.pyra.dzi",
    "/dzi/..%2f..%2foutside%2fsecret.pyra.dzi",
    "/dzi/link-out.pyra.dzi",
    "/dzi/dir-out/secret.pyra.dzi",
    "/info/link-out.pyra.json",
    "/view/dir-out/secret.pyra",
    "/associated/link-out.pyra/label.jpeg",
    "/dzi/link-out.pyra_files/0/0_0.jpeg",
    "/dzi//{root}/../outside/secret.pyra.dzi",
    "/dzi/{root}/../outside/secret.pyra.dzi",
    "/dzi/%2F{root}%2F..%2Foutside%2Fsecret.pyra.dzi",
    "/dzi/..\\outside\\secret.pyra.dzi",
    "/dzi/./gradient.pyra.dzi",
    "/static/../../../etc/passwd",
    "/static/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
    "/static/..%2F..%2F..%2Fetc%2Fpasswd",
])
def test_traversal_attempts_read_nothing_outside(server, tree, path):
    before = server.json("/stats.json")["openSlides"]
    r = server.get(path.replace("{root}", str(tree).lstrip("/")))
    assert r.status in (400, 404), (path, r.status)
    assert b"root:" not in r.body and b"<Image" not in r.body
    after = server.json("/stats.json")["openSlides"]
    assert after <= before  # nothing outside was opened


def test_single_file_serves_only_that_slide(tree, serve):
    s = serve(tree / "gradient.pyra")
    assert [x["name"] for x in s.json("/slides.json")] == ["gradient.pyra"]
    assert s.get("/dzi/gradient.pyra.dzi").status == 200
    assert s.get("/dzi/ref.pyra.dzi").status == 404
    assert s.get(f"/dzi/{ODD_URL}.dzi").status == 404


# ---- slides that change while served ----

def test_damaged_deleted_and_replaced_slides_affect_only_themselves(tree, serve, tmp_path):
    root = tmp_path / "live"
    make_slide(root / "steady.pyra", 600, 400, seed=5)
    make_slide(root / "victim.pyra", 900, 700, seed=6)
    make_slide(tmp_path / "other.pyra", 500, 300, seed=7)
    s = serve(root, "--cache-mb", "0")
    steady_tile = s.get("/dzi/steady.pyra_files/10/1_1.jpeg")
    assert steady_tile.status == 200
    first = s.get("/dzi/victim.pyra_files/10/1_1.jpeg")
    assert first.status == 200
    etag = first.header("etag")

    def steady_still_served():
        r = s.get("/dzi/steady.pyra_files/10/1_1.jpeg")
        assert r.status == 200 and r.body == steady_tile.body
        assert s.alive()

    victim = root / "victim.pyra"
    size = victim.stat().st_size
    # Damaged: tile data overwritten in place, then the file cut short.
    with open(victim, "r+b") as f:
        f.seek(size // 3)
        f.write(os.urandom(size // 3))
    for level in range(11):
        for path in (f"/dzi/victim.pyra_files/{level}/0_0.jpeg", f"/dzi/victim.pyra_files/{level}/1_1.jpeg"):
            r = s.get(path)
            assert r.status in (200, 404, 500), (path, r.status)
    assert s.get("/dzi/victim.pyra_files/10/1_1.jpeg", headers={"If-None-Match": etag}).status != 304
    steady_still_served()
    with open(victim, "r+b") as f:
        f.truncate(size // 5)
    for path in ("/dzi/victim.pyra.dzi", "/dzi/victim.pyra_files/10/1_1.jpeg", "/info/victim.pyra.json"):
        assert s.get(path).status in (404, 500)
    steady_still_served()
    # Deleted.
    victim.unlink()
    assert s.get("/dzi/victim.pyra_files/10/1_1.jpeg").status == 404
    assert s.get("/dzi/victim.pyra.dzi").status == 404
    assert "victim.pyra" not in [x["name"] for x in s.json("/slides.json")]
    steady_still_served()
    # Replaced by another slide: its size, its tiles, a new validator.
    shutil.copy(tmp_path / "other.pyra", root / "victim.tmp")
    os.replace(root / "victim.tmp", victim)
    root_xml = ET.fromstring(s.get("/dzi/victim.pyra.dzi").body)
    size_el = root_xml.find("{http://schemas.microsoft.com/deepzoom/2008}Size")
    assert (size_el.get("Width"), size_el.get("Height")) == ("500", "300")
    r = s.get("/dzi/victim.pyra_files/9/1_1.jpeg")
    assert r.status == 200 and r.header("etag") != etag
    expected = oracle(victim, [(9, 1, 1)], tmp_path)
    assert r.body == expected[(9, 1, 1)][1]
    steady_still_served()


def test_open_slides_are_bounded(tree, serve, tmp_path):
    root = tmp_path / "many"
    for i in range(5):
        make_slide(root / f"s{i}.pyra", 300 + 40 * i, 200, seed=10 + i)
    s = serve(root, "--max-open", "2")
    for _ in range(2):
        for i in range(5):
            r = s.get(f"/dzi/s{i}.pyra_files/8/0_0.jpeg")
            assert r.status == 200
            assert s.json("/stats.json")["openSlides"] <= 2
    stats = s.json("/stats.json")
    assert stats["tilesServed"] == 10 and stats["tilesEncoded"] == 5  # second round from the cache


# ---- the command ----

@pytest.mark.parametrize("args, message", [
    ([], "PATH"),
    (["{root}", "--port", "abc"], "port"),
    (["{root}", "--port", "70000"], "port"),
    (["{root}", "--quality", "0"], "quality"),
    (["{root}", "--bogus"], "bogus"),
    (["/no/such/folder"], "no such file"),
    (["{root}", "--assets", "/no/such/dir"], "viewer"),
    (["{root}", "--bind", "256.1.1.1"], "cannot listen"),
])
def test_command_fails_with_one_line(tree, args, message):
    r = subprocess.run([PYRA, "serve", *[a.replace("{root}", str(tree)) for a in args]],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1
    assert len(r.stderr.strip().splitlines()) == 1 and message in r.stderr, r.stderr


def test_help_and_busy_port(tree, serve):
    r = subprocess.run([PYRA, "serve", "--help"], capture_output=True, text=True)
    assert r.returncode == 0 and "--cache-mb" in r.stdout and "--tile-size" in r.stdout
    s = serve(tree)
    assert s.url.startswith("http://127.0.0.1:")
    busy = subprocess.run([PYRA, "serve", str(tree), "--port", str(s.port)], capture_output=True,
                          text=True, timeout=30)
    assert busy.returncode == 1 and "cannot listen" in busy.stderr


def test_verbose_logs_one_line_per_request(tree, serve):
    s = serve(tree, "--verbose")
    s.get("/slides.json")
    s.get("/dzi/gradient.pyra_files/9/0_0.jpeg")
    s.get("/missing")
    s.request("/", method="DELETE")
    # The line is written after the answer is sent: wait for it.
    deadline = time.monotonic() + 10
    while len(s.stderr().splitlines()) < 4 and time.monotonic() < deadline:
        time.sleep(0.05)
    lines = [l for l in s.stderr().splitlines() if l.strip()]
    assert lines == ["GET /slides.json 200 " + lines[0].split()[-1],
                     "GET /dzi/gradient.pyra_files/9/0_0.jpeg 200 " + lines[1].split()[-1],
                     "GET /missing 404 " + lines[2].split()[-1],
                     "DELETE / 405 " + lines[3].split()[-1]]
