"""The viewer in a real browser: Debian's headless chromium, driven through
playwright-core, opens /view/NAME against a running pyra serve."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from conftest import make_slide

PLAYWRIGHT = Path(os.environ.get("PYRADEC_NODE_CACHE", "/var/cache/pyradec/node")) / "node_modules/playwright-core"
ZOOM = 16


def correlation(a, b, keep):
    a = a[keep].astype(float)
    b = b[keep].astype(float)
    a -= a.mean()
    b -= b.mean()
    return float(a @ b / np.sqrt((a @ a) * (b @ b)))


def visible_part(screenshot, source, state):
    """The slide as the browser drew it inside the view, the same part of the
    source image, both grey and at one small size, and where neither the
    navigator nor a button covers it."""
    left, top, width, height = state["view"]
    x0, y0, x1, y1 = state["image"]
    # The drawn rectangle clipped to the view, in view pixels.
    vx0, vy0 = max(x0, 0), max(y0, 0)
    vx1, vy1 = min(x1, width), min(y1, height)
    assert vx1 - vx0 > 50 and vy1 - vy0 > 50, state
    box = (int(left + vx0) + 2, int(top + vy0) + 2, int(left + vx1) - 2, int(top + vy1) - 2)
    shot = screenshot.crop(box)
    covered = Image.new("L", shot.size, 0)
    for ox0, oy0, ox1, oy1 in state["overlays"]:
        covered.paste(255, (int(ox0) - box[0] - 4, int(oy0) - box[1] - 4, int(ox1) - box[0] + 4, int(oy1) - box[1] + 4))
    sw, sh = source.size
    sx = lambda v: (v - x0) / (x1 - x0) * sw
    sy = lambda v: (v - y0) / (y1 - y0) * sh
    src = source.crop((int(sx(vx0 + 2)), int(sy(vy0 + 2)), int(sx(vx1 - 2)), int(sy(vy1 - 2))))
    size = (96, 72)
    return (np.asarray(shot.convert("L").resize(size, Image.BILINEAR)),
            np.asarray(src.convert("L").resize(size, Image.BILINEAR)),
            np.asarray(covered.resize(size, Image.BILINEAR)) == 0)


def test_viewer_shows_the_slide_and_zooms(tmp_path, serve):
    if not shutil.which("node") or not (PLAYWRIGHT / "package.json").exists():
        pytest.fail("node and playwright-core are needed: run scripts/setup.sh")
    if not Path("/usr/bin/chromium").exists():
        pytest.fail("chromium is needed: run scripts/setup.sh")
    pixels = make_slide(tmp_path / "slides" / "tissue sample.pyra", 6000, 4000, tile=256, seed=9)
    source = Image.fromarray(pixels)
    server = serve(tmp_path / "slides")
    out = subprocess.run(["node", str(Path(__file__).with_name("browser.mjs")), str(PLAYWRIGHT), server.url,
                          "tissue%20sample.pyra", str(ZOOM), str(tmp_path)],
                         capture_output=True, text=True, timeout=240)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    home, zoomed = result["home"], result["zoomed"]
    print(json.dumps(result, indent=1))
    print("screenshots:", tmp_path / "view.png", tmp_path / "zoomed.png")

    for visit in (home, zoomed):
        assert visit["state"] == "loaded" and visit["message"] == "", visit
        assert visit["failed"] == [], visit["failed"]
        assert visit["navigator"] and visit["scalebar"], visit
        assert visit["properties"] > 20 and visit["associated"] == 3, visit

    # The whole slide in view correlates with its source; not blank.
    shot, src, keep = visible_part(Image.open(tmp_path / "view.png").convert("RGB"), source, home)
    assert shot[keep].std() > 10 and keep.mean() > 0.5
    print("correlation with the source, whole slide:", correlation(shot, src, keep))
    assert correlation(shot, src, keep) > 0.9

    # Zoomed in: higher-resolution tiles were asked for and shown.
    levels = len(bin(max(6000, 4000) - 1)) - 2 + 1
    assert max(zoomed["levels"]) > max(home["levels"])
    assert max(zoomed["levels"]) == levels - 1
    shot, src, keep = visible_part(Image.open(tmp_path / "zoomed.png").convert("RGB"), source, zoomed)
    print("correlation with the source, zoomed:", correlation(shot, src, keep))
    assert correlation(shot, src, keep) > 0.9
    served = server.json("/stats.json")["tilesByLevel"]
    assert str(levels - 1) in served
