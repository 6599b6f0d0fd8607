"""Code written for openslide-python runs unchanged with `import pyradec as openslide`."""

import subprocess
import sys

import pyradec

# A script as users of the reference write it, word for word but for its import line.
SCRIPT = r'''
import sys
import pyradec as openslide
from pyradec.deepzoom import DeepZoomGenerator
from PIL import Image

path = sys.argv[1]
try:
    openslide.OpenSlide(path + ".missing")
except openslide.OpenSlideUnsupportedFormatError as e:
    print("refused:", e)

slide = openslide.open_slide(path)
print("dimensions", slide.dimensions, slide.level_count)
mpp_x = float(slide.properties[openslide.PROPERTY_NAME_MPP_X])
mpp_y = float(slide.properties.get(openslide.PROPERTY_NAME_MPP_Y, 0))
power = slide.properties.get(openslide.PROPERTY_NAME_OBJECTIVE_POWER)
background = slide.properties.get(openslide.PROPERTY_NAME_BACKGROUND_COLOR, "ffffff")
print("mpp", mpp_x, mpp_y, "power", power, "background", background)
for level in range(slide.level_count):
    print("level", level, slide.level_dimensions[level], slide.level_downsamples[level])
best = slide.get_best_level_for_downsample(3.0)
region = slide.read_region((100, 100), best, (256, 256))
assert region.mode == "RGBA" and region.size == (256, 256)
rgb = Image.new("RGB", region.size, "#" + background)
rgb.paste(region, mask=region.split()[3])
thumb = slide.get_thumbnail((200, 200))
print("thumbnail", thumb.size)
for name, image in slide.associated_images.items():
    print("associated", name, image.size, image.mode)
cache = openslide.OpenSlideCache(32 * 1024 * 1024)
slide.set_cache(cache)
dz = DeepZoomGenerator(slide, tile_size=254, overlap=1, limit_bounds=True)
dzi = dz.get_dzi("jpeg")
top = dz.level_count - 1
cols, rows = dz.level_tiles[top]
tile = dz.get_tile(top, (cols - 1, rows - 1))
print("tiles", dz.level_count, dz.tile_count, tile.size, dz.get_tile_coordinates(top, (0, 0)))
slide.close()
try:
    slide.read_region((0, 0), 0, (1, 1))
except openslide.OpenSlideError:
    print("closed")
'''


def test_reference_script_runs_unchanged(jpeg_path, tmp_path):
    script = tmp_path / "viewer.py"
    script.write_text(SCRIPT)
    result = subprocess.run([sys.executable, str(script), jpeg_path], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    with pyradec.PyraSlide(jpeg_path) as slide:
        assert f"dimensions {slide.dimensions} {slide.level_count}" in out
    assert f"refused: {jpeg_path}.missing: no such file" in out
    assert "associated label" in out and "associated macro" in out
    assert "thumbnail (200, 171)" in out
    assert out.rstrip().endswith("closed")
