"""Region reads against the library's own GetRoiSliceBgr (through ctypes), the
fill outside every edge and corner, the level-0 to level mapping, batched reads,
the output buffer, thumbnails and the tile cache."""

import math

import numpy as np
import pytest
from PIL import Image

import pyradec


def whole_levels(flat, path):
    """Every level's content as the flat interface decodes it (RGB)."""
    with pyradec.PyraSlide(path) as slide:
        dims = slide.level_dimensions
    return [flat.roi_rgb(path, level, 0, 0, w, h) for level, (w, h) in enumerate(dims)]


def expected_rgb(level_pixels, x, y, w, h, fill):
    """The rectangle (level pixels) of a level's content, `fill` outside it."""
    out = np.empty((h, w, len(fill)), dtype=np.uint8)
    out[...] = fill
    lh, lw = level_pixels.shape[:2]
    x0, x1 = max(x, 0), min(x + w, lw)
    y0, y1 = max(y, 0), min(y + h, lh)
    if x1 > x0 and y1 > y0:
        part = level_pixels[y0:y1, x0:x1]
        if len(fill) == 4:
            part = np.concatenate([part, np.full(part.shape[:2] + (1,), 255, np.uint8)], axis=-1)
        out[y0 - y:y1 - y, x0 - x:x1 - x] = part
    return out


def inside_rectangles(w, h, tile):
    """Rectangles inside a level: a corner pixel, across tile seams, up to the content's edges."""
    rects = [(0, 0, 1, 1), (0, 0, w, h), (w - 1, h - 1, 1, 1),
             (max(0, w - 37), max(0, h - 21), min(w, 37), min(h, 21))]
    if w > tile and h > tile:
        rects += [(tile - 5, tile - 3, 11, 7), (tile - 40, 3, 80, min(h - 3, tile + 30))]
    return rects


def test_inside_rectangles_equal_the_library(slide_path, flat):
    with pyradec.PyraSlide(slide_path) as slide:
        tile = slide.level_tile_sizes[0][0]
        for level, (w, h) in enumerate(slide.level_dimensions):
            for x, y, rw, rh in inside_rectangles(w, h, tile):
                expected = flat.roi_rgb(slide_path, level, x, y, rw, rh)
                got = slide.read_level_region(level, (x, y), (rw, rh))
                assert got.shape == (rh, rw, 3) and got.dtype == np.uint8
                np.testing.assert_array_equal(got, expected, err_msg=f"{level} {(x, y, rw, rh)}")


def test_absent_tiles_read_white(slide_paths):
    # The fixture leaves tile (1, 0) of level 0 absent.
    path = slide_paths["absent-jpeg"]
    with pyradec.PyraSlide(path) as slide:
        tw, th = slide.level_tile_sizes[0]
        got = slide.read_level_region(0, (tw, 0), (tw, th))
        assert (got == 255).all()
        rgba = np.asarray(slide.read_region((tw, 0), 0, (tw, th)))
        assert (rgba == 255).all()  # inside the layer: opaque white, not transparent
        neighbour = slide.read_level_region(0, (0, 0), (tw, th))
        assert not (neighbour == 255).all()


def edge_rectangles(w, h):
    """Rectangles across each edge and corner, wholly outside on each side, and larger than the level."""
    d = 9
    xs = {"left": -d, "middle": w // 3, "right": w - d}
    ys = {"top": -d, "middle": h // 3, "bottom": h - d}
    rects = {f"{yn}-{xn}": (x, y, 2 * d, 2 * d) for xn, x in xs.items() for yn, y in ys.items()}
    rects.update({
        "outside-left": (-50, 0, 20, 10), "outside-right": (w, 5, 20, 10),
        "outside-top": (0, -30, 10, 20), "outside-bottom": (3, h + 7, 10, 20),
        "outside-far": (-(1 << 40), 1 << 40, 5, 5),
        "around": (-3, -4, w + 10, h + 9),
    })
    return rects


def test_fill_outside_every_edge_and_corner(slide_path, flat):
    levels = whole_levels(flat, slide_path)
    with pyradec.PyraSlide(slide_path) as slide:
        for level, pixels in enumerate(levels):
            h, w = pixels.shape[:2]
            for name, (x, y, rw, rh) in edge_rectangles(w, h).items():
                what = f"level {level} {name}"
                rgb = slide.read_level_region(level, (x, y), (rw, rh))
                np.testing.assert_array_equal(rgb, expected_rgb(pixels, x, y, rw, rh, (255,) * 3),
                                              err_msg=what)
                # Level-0 locations that land exactly on (x, y) of this level.
                ds = slide.level_downsamples[level]
                lx, ly = math.ceil(x * ds), math.ceil(y * ds)
                assert (math.floor(lx / ds), math.floor(ly / ds)) == (x, y)
                image = slide.read_region((lx, ly), level, (rw, rh))
                assert image.mode == "RGBA" and image.size == (rw, rh)
                np.testing.assert_array_equal(np.asarray(image),
                                              expected_rgb(pixels, x, y, rw, rh, (0, 0, 0, 0)),
                                              err_msg=what)
                np.testing.assert_array_equal(
                    slide.read_region((lx, ly), level, (rw, rh), as_array=True), rgb, err_msg=what)


def test_level0_location_floors_to_the_level(slide_paths):
    with pyradec.PyraSlide(slide_paths["jpeg-colour"]) as slide:
        for level in range(1, slide.level_count):
            ds = slide.level_downsamples[level]
            for x0, y0 in [(1, 1), (3, 7), (123, 457), (-1, -1), (-5, 2), (999, 5)]:
                lx, ly = math.floor(x0 / ds), math.floor(y0 / ds)
                np.testing.assert_array_equal(
                    slide.read_region((x0, y0), level, (33, 17), as_array=True),
                    slide.read_level_region(level, (lx, ly), (33, 17)), err_msg=f"{level} {(x0, y0)}")


BAD_REQUESTS = [
    # (location, level, size, error)
    ((0, 0), 0, (0, 10), ValueError),
    ((0, 0), 0, (10, 0), ValueError),
    ((0, 0), 0, (-1, 5), ValueError),
    ((0, 0), 0, (5, -7), ValueError),
    ((0, 0), -1, (5, 5), ValueError),
    ((0, 0), 99, (5, 5), ValueError),
    ((0, 0), 1 << 40, (5, 5), ValueError),
    ((0, 0), 0, (1 << 31, 1 << 31), ValueError),
    ((0, 0), 0, (1 << 40, 1), ValueError),
    ((0, 0), 0, (2_000_000_000, 2_000_000_000), ValueError),
    ((1 << 62, 0), 0, (5, 5), ValueError),
    ((0, -(1 << 70)), 0, (5, 5), ValueError),
    ((1.5, 0), 0, (5, 5), TypeError),
    ((0, 0), 0, (5.0, 5), TypeError),
    ((0,), 0, (5, 5), TypeError),
]


@pytest.mark.parametrize("location, level, size, error", BAD_REQUESTS)
def test_bad_requests_raise_not_crash(jpeg_path, location, level, size, error):
    with pyradec.PyraSlide(jpeg_path) as slide:
        with pytest.raises(error):
            slide.read_region(location, level, size)
        with pytest.raises(error):
            slide.read_region(location, level, size, as_array=True)
        with pytest.raises(error):
            slide.read_level_region(level, location, size)
        if len(location) == 2 and isinstance(location[0], int) and abs(location[1]) < (1 << 62):
            with pytest.raises(error):
                slide.read_regions([location, (0, 0)], level, size)


def test_read_regions_equal_a_loop_of_read_region(slide_paths):
    rng = np.random.default_rng(5)
    for kind in ("jpeg-colour", "hevc", "absent-jpeg"):
        with pyradec.PyraSlide(slide_paths[kind]) as slide:
            for level in range(slide.level_count):
                w0, h0 = slide.dimensions
                # Partly outside too: the fill must match as well.
                locations = np.stack([rng.integers(-100, w0 + 20, 40),
                                      rng.integers(-100, h0 + 20, 40)], axis=1)
                expected = np.stack([slide.read_region(tuple(xy), level, (64, 48), as_array=True)
                                     for xy in locations])
                for workers in (1, 2, 3, None):
                    got = slide.read_regions(locations, level, (64, 48), workers=workers)
                    np.testing.assert_array_equal(got, expected)
                as_list = [tuple(int(v) for v in xy) for xy in locations]
                np.testing.assert_array_equal(slide.read_regions(as_list, level, (64, 48)), expected)


def test_read_regions_arguments(jpeg_path):
    with pyradec.PyraSlide(jpeg_path) as slide:
        assert slide.read_regions([], 0, (8, 4)).shape == (0, 4, 8, 3)
        with pytest.raises(ValueError):
            slide.read_regions([(0, 0)], 0, (8, 4), workers=0)
        with pytest.raises(ValueError):
            slide.read_regions([(0, 0, 0)], 0, (8, 4))
        with pytest.raises(TypeError):
            slide.read_regions([(0.5, 0)], 0, (8, 4))
        with pytest.raises(ValueError):
            slide.read_regions(np.zeros((100000, 2), dtype=np.int64), 0, (1 << 20, 1 << 20))


def test_read_level_region_into_out(jpeg_path):
    with pyradec.PyraSlide(jpeg_path) as slide:
        expected = slide.read_level_region(0, (-5, 100), (70, 40))
        out = np.zeros((40, 70, 3), np.uint8)
        assert slide.read_level_region(0, (-5, 100), (70, 40), out=out) is out
        np.testing.assert_array_equal(out, expected)
        # A view into a larger array: only the view's pixels change.
        big = np.full((60, 100, 3), 7, np.uint8)
        view = big[10:50, 20:90]
        slide.read_level_region(0, (-5, 100), (70, 40), out=view)
        np.testing.assert_array_equal(view, expected)
        rest = big.copy()
        rest[10:50, 20:90] = 7
        assert (rest == 7).all()

        bad_outs = [
            (np.zeros((40, 70, 3), np.float32), TypeError),
            (np.zeros((40, 70, 4), np.uint8), ValueError),
            (np.zeros((70, 40, 3), np.uint8), ValueError),
            (np.zeros((40, 140, 3), np.uint8)[:, ::2], ValueError),
            (np.zeros((3, 70, 40), np.uint8).transpose(2, 1, 0), ValueError),
            ([[0] * 3] * 70, TypeError),
        ]
        read_only = np.zeros((40, 70, 3), np.uint8)
        read_only.flags.writeable = False
        bad_outs.append((read_only, ValueError))
        for bad, error in bad_outs:
            with pytest.raises(error):
                slide.read_level_region(0, (-5, 100), (70, 40), out=bad)
        assert (read_only == 0).all()


@pytest.mark.parametrize("size", [(100, 100), (300, 50), (33, 400), (5000, 5000), (1, 1)])
def test_thumbnail_as_the_reference_makes_it(jpeg_path, size):
    with pyradec.PyraSlide(jpeg_path) as slide:
        thumb = slide.get_thumbnail(size)
        # The reference's steps, on our read_region.
        downsample = max(d / t for d, t in zip(slide.dimensions, size))
        level = slide.get_best_level_for_downsample(downsample)
        tile = slide.read_region((0, 0), level, slide.level_dimensions[level])
        expected = Image.new("RGB", tile.size, "#ffffff")
        expected.paste(tile, None, tile)
        expected.thumbnail(size, Image.LANCZOS)
        assert thumb.mode == "RGB" and thumb.size == expected.size
        assert thumb.size[0] <= size[0] and thumb.size[1] <= size[1]
        np.testing.assert_array_equal(np.asarray(thumb), np.asarray(expected))


def test_cache_choices_give_the_same_pixels(slide_paths):
    path = slide_paths["jpeg-colour"]
    with pyradec.PyraSlide(path) as slide:
        assert pyradec.PyraCache.shared().capacity == 64 << 20
        reference = slide.read_regions([(0, 0), (300, 200), (-20, 700)], 0, (300, 250))
        cache = pyradec.PyraCache(10 << 20)
        slide.set_cache(cache)
        assert cache.size == 0
        for _ in range(2):  # decoded, then from the cache
            np.testing.assert_array_equal(
                slide.read_regions([(0, 0), (300, 200), (-20, 700)], 0, (300, 250)), reference)
        assert 0 < cache.size <= 10 << 20
        tiny = pyradec.PyraCache(0)
        slide.set_cache(tiny)
        assert cache.size == 0  # the tiles of a slide that left the cache go with it
        np.testing.assert_array_equal(
            slide.read_regions([(0, 0), (300, 200), (-20, 700)], 0, (300, 250)), reference)
        assert tiny.size == 0
        with pytest.raises(TypeError):
            slide.set_cache(object())
    with pytest.raises(ValueError):
        pyradec.PyraCache(-1)


def test_cache_is_shared_and_bounded(slide_paths):
    cache = pyradec.PyraCache(300_000)  # a few tiles
    slides = [pyradec.PyraSlide(slide_paths[k]) for k in ("jpeg", "hevc", "jpeg-colour")]
    for s in slides:
        s.set_cache(cache)
        s.read_region((0, 0), 0, s.dimensions, as_array=True)
        assert 0 < cache.size <= 300_000
    for s in slides:
        s.close()
    assert cache.size == 0  # closing forgets a slide's tiles
