"""DeepZoomGenerator against the reference's published vectors and against the
reference's own generator (openslide-python's, pure Python over PIL) run on our
PyraSlide: the same arithmetic, and tiles equal to read_region + composite on
white + Image.thumbnail(size, LANCZOS)."""

import os
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from PIL import Image

import pyradec
from conftest import make_slide
from pyradec.deepzoom import DeepZoomGenerator

reference_deepzoom = pytest.importorskip("openslide.deepzoom")


@pytest.fixture(scope="module")
def small_slide(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("dz"))
    return make_slide(directory, "small", 300, 250, "--tile", "128")


def test_reference_vectors(small_slide):
    with pyradec.PyraSlide(small_slide) as slide:
        dz = DeepZoomGenerator(slide)
        assert dz.level_count == 10
        assert dz.tile_count == 11
        assert dz.get_tile(9, (1, 0)).size == (47, 250)
        assert dz.get_tile_dimensions(9, (1, 0)) == (47, 250)
        assert dz.get_tile_coordinates(9, (1, 0)) == ((253, 0), 0, (47, 250))
        assert dz.level_dimensions[0] == (1, 1) and dz.level_dimensions[-1] == (300, 250)


@pytest.mark.parametrize("options", [
    dict(), dict(tile_size=128, overlap=0), dict(tile_size=100, overlap=3), dict(limit_bounds=True)])
def test_arithmetic_equals_the_reference_generator(slide_paths, small_slide, options):
    for path in [small_slide, slide_paths["jpeg"], slide_paths["jpeg-colour"], slide_paths["hevc"]]:
        with pyradec.PyraSlide(path) as slide:
            ours = DeepZoomGenerator(slide, **options)
            ref = reference_deepzoom.DeepZoomGenerator(slide, **options)
            assert ours.level_count == ref.level_count
            assert ours.level_tiles == ref.level_tiles
            assert ours.level_dimensions == ref.level_dimensions
            assert ours.tile_count == ref.tile_count
            a = ElementTree.fromstring(ours.get_dzi("png"))
            b = ElementTree.fromstring(ref.get_dzi("png"))
            assert a.tag == b.tag and a.attrib == b.attrib
            assert a[0].tag == b[0].tag and a[0].attrib == b[0].attrib
            for level, (cols, rows) in enumerate(ours.level_tiles):
                for col in range(cols):
                    for row in range(rows):
                        assert ours.get_tile_coordinates(level, (col, row)) == \
                            ref.get_tile_coordinates(level, (col, row)), (path, level, col, row)
                        assert ours.get_tile_dimensions(level, (col, row)) == \
                            ref.get_tile_dimensions(level, (col, row))


def tile_difference(ours, ref, level, address):
    a = ours.get_tile(level, address)
    b = ref.get_tile(level, address)
    assert a.mode == b.mode == "RGB"
    assert a.size == b.size, (level, address)
    return int(np.abs(np.asarray(a, np.int16) - np.asarray(b, np.int16)).max())


def test_tiles_equal_the_reference_computation(slide_paths, small_slide):
    resized = []
    for path in [small_slide, slide_paths["jpeg-colour"], slide_paths["hevc"], slide_paths["absent-jpeg"]]:
        with pyradec.PyraSlide(path) as slide:
            for options in (dict(), dict(tile_size=100, overlap=2)):
                ours = DeepZoomGenerator(slide, **options)
                ref = reference_deepzoom.DeepZoomGenerator(slide, **options)
                for level, (cols, rows) in enumerate(ours.level_tiles):
                    for address in {(0, 0), (cols - 1, rows - 1), (cols // 2, rows // 2)}:
                        _, slide_level, size = ours.get_tile_coordinates(level, address)
                        difference = tile_difference(ours, ref, level, address)
                        if tuple(size) == ours.get_tile_dimensions(level, address):
                            assert difference == 0, (path, level, address)  # no resize: exact
                        else:
                            resized.append(difference)
    assert resized, "no resized tile was compared"
    # The resize ports the imaging library's fixed-point Lanczos, so it matches to the bit.
    print(f"resized tiles compared: {len(resized)}, max difference {max(resized)}")
    assert max(resized) == 0


@pytest.mark.parametrize("level, address", [
    (-1, (0, 0)), (10, (0, 0)), (9, (2, 0)), (9, (0, 1)), (9, (-1, 0)), (0, (1, 0))])
def test_out_of_range_is_value_error(small_slide, level, address):
    with pyradec.PyraSlide(small_slide) as slide:
        dz = DeepZoomGenerator(slide)
        for call in (dz.get_tile, dz.get_tile_coordinates, dz.get_tile_dimensions):
            with pytest.raises(ValueError):
                call(level, address)


def test_bad_arguments(small_slide):
    with pyradec.PyraSlide(small_slide) as slide:
        with pytest.raises(ValueError):
            DeepZoomGenerator(slide, tile_size=0)
        with pytest.raises(ValueError):
            DeepZoomGenerator(slide, overlap=-1)
        with pytest.raises(ValueError):
            DeepZoomGenerator(slide).get_tile(0, (0,))
        with pytest.raises(TypeError):
            DeepZoomGenerator(object())


def test_tiles_read_through_the_slides_cache(slide_paths):
    with pyradec.PyraSlide(slide_paths["jpeg-colour"]) as slide:
        cache = pyradec.PyraCache(8 << 20)
        slide.set_cache(cache)
        dz = DeepZoomGenerator(slide)
        first = np.asarray(dz.get_tile(dz.level_count - 1, (1, 1)))
        assert cache.size > 0
        np.testing.assert_array_equal(np.asarray(dz.get_tile(dz.level_count - 1, (1, 1))), first)
