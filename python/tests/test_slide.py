"""PyraSlide's members on writer-made slides, checked against what `pyra info`
reports through the library's flat interface; errors and the slide's lifetime."""

import functools
import json
import os
import pickle
import shutil
import subprocess
import tempfile

import numpy as np
import pytest
from PIL import Image

import pyradec
from conftest import PYRA


@functools.lru_cache(maxsize=None)
def pyra_info(path):
    return json.loads(subprocess.run([PYRA, "info", path, "--json"], check=True,
                                     capture_output=True, text=True).stdout)


def pyra_hash(path):
    return subprocess.run([PYRA, "hash", path], check=True, capture_output=True,
                          text=True).stdout.split()[0]


def test_geometry_matches_the_library(slide_path):
    info = pyra_info(slide_path)
    with pyradec.PyraSlide(slide_path) as slide:
        layers = info["layers"]
        dims = tuple((l["contentWidth"], l["contentHeight"]) for l in layers)
        assert slide.level_count == len(layers)
        assert slide.level_dimensions == dims
        assert slide.dimensions == dims[0]
        w0, h0 = dims[0]
        assert slide.level_downsamples == pytest.approx(
            [(w0 / w + h0 / h) / 2 for w, h in dims], rel=1e-12)
        assert slide.level_tile_sizes == ((info["tileWidth"], info["tileHeight"]),) * len(layers)
        # Margins: the content is the tile grid less its blank strip.
        for l in layers:
            assert l["contentWidth"] == l["xCount"] * info["tileWidth"] - l["boundWidth"]


def test_margins_exist_in_the_fixtures(slide_paths):
    # The tests of edges below mean something only if the content stops inside a tile.
    for path in slide_paths.values():
        layers = pyra_info(path)["layers"]
        assert any(l["boundWidth"] or l["boundHeight"] for l in layers), path


@pytest.mark.parametrize("downsample, expected", [
    (0.5, 0), (1, 0), (1.99, 0), (2, 1), (3.9, 1), (4, 2), (1000, -1)])
def test_best_level_for_downsample(jpeg_path, downsample, expected):
    with pyradec.open_slide(jpeg_path) as slide:
        level = slide.get_best_level_for_downsample(downsample)
        assert level == (slide.level_count - 1 if expected == -1 else expected)
        assert slide.level_downsamples[level] <= max(downsample, 1)


def test_properties(slide_path):
    info = pyra_info(slide_path)
    with pyradec.PyraSlide(slide_path) as slide:
        props = slide.properties
        with pytest.raises(TypeError):
            props["pyradec.mpp-x"] = "1"
        assert float(props[pyradec.PROPERTY_NAME_MPP_X]) == info["mpp"]
        assert float(props[pyradec.PROPERTY_NAME_MPP_Y]) == info["mpp"]
        assert float(props[pyradec.PROPERTY_NAME_OBJECTIVE_POWER]) == info["appMag"]
        assert props[pyradec.PROPERTY_NAME_BACKGROUND_COLOR] == "ffffff"
        assert props[pyradec.PROPERTY_NAME_QUICKHASH1] == pyra_hash(slide_path)
        assert props["pyradec.level-count"] == str(slide.level_count)
        for i, ((w, h), d) in enumerate(zip(slide.level_dimensions, slide.level_downsamples)):
            assert int(props[f"pyradec.level[{i}].width"]) == w
            assert int(props[f"pyradec.level[{i}].height"]) == h
            assert float(props[f"pyradec.level[{i}].downsample"]) == pytest.approx(d)
            assert int(props[f"pyradec.level[{i}].tile-width"]) == info["tileWidth"]
            assert int(props[f"pyradec.level[{i}].tile-height"]) == info["tileHeight"]
        assert props["pyra.CompressionType"] == info["compressionType"]
        assert int(props["pyra.Quality"]) == info["quality"]
        assert all(isinstance(k, str) and isinstance(v, str) for k, v in props.items())
        colour = info.get("colour")
        if not colour:  # a slide without colour parameters shows none
            assert not any(k in props for k in ("pyra.Gamma", "pyra.ChannelGains", "pyra.ColorMatrix"))
        elif colour["gamma"] != 1:
            assert float(props["pyra.Gamma"]) == pytest.approx(colour["gamma"])
            gains = [float(v) for v in props["pyra.ChannelGains"].split(",")]
            assert gains == pytest.approx(colour["channelGains"])
            assert [float(v) for v in props["pyra.ColorMatrix"].split(",")] == pytest.approx(
                colour["colorMatrix"])


def test_module_constants_name_the_properties():
    assert pyradec.PROPERTY_NAME_MPP_X == "pyradec.mpp-x"
    assert pyradec.PROPERTY_NAME_MPP_Y == "pyradec.mpp-y"
    assert pyradec.PROPERTY_NAME_OBJECTIVE_POWER == "pyradec.objective-power"
    assert pyradec.PROPERTY_NAME_BACKGROUND_COLOR == "pyradec.background-color"
    assert pyradec.PROPERTY_NAME_QUICKHASH1 == "pyradec.quickhash-1"


def test_associated_images_match_pyra_assoc(slide_path, tmp_path):
    with pyradec.PyraSlide(slide_path) as slide:
        images = slide.associated_images
        assert set(images) <= {"thumbnail", "label", "macro"}
        assert len(images) == 3
        for name, image in images.items():
            assert image.mode == "RGBA"
            # pyra assoc decodes through the flat interface; PNG keeps it exact.
            out = tmp_path / f"{name}.png"
            subprocess.run([PYRA, "assoc", slide_path, name, "-o", str(out)], check=True,
                           capture_output=True)
            expected = np.asarray(Image.open(out).convert("RGB"))
            got = np.asarray(image)
            assert got.shape[:2] == expected.shape[:2]
            assert (got[..., 3] == 255).all()
            np.testing.assert_array_equal(got[..., :3], expected)
        with pytest.raises(KeyError):
            images["overview"]


def test_closed_slide_raises_pyra_error_everywhere(jpeg_path):
    slide = pyradec.PyraSlide(jpeg_path)
    slide.close()
    calls = [
        lambda: slide.level_count, lambda: slide.dimensions, lambda: slide.level_dimensions,
        lambda: slide.level_downsamples, lambda: slide.properties,
        lambda: slide.associated_images, lambda: slide.get_best_level_for_downsample(2),
        lambda: slide.read_region((0, 0), 0, (10, 10)),
        lambda: slide.read_region((0, 0), 0, (10, 10), as_array=True),
        lambda: slide.read_level_region(0, (0, 0), (10, 10)),
        lambda: slide.read_regions([(0, 0)], 0, (10, 10)),
        lambda: slide.get_thumbnail((10, 10)),
        lambda: slide.set_cache(pyradec.PyraCache(1000)),
    ]
    for call in calls:
        with pytest.raises(pyradec.PyraError, match="closed"):
            call()
    slide.close()  # closing twice is harmless


def test_context_manager_closes(jpeg_path):
    with pyradec.PyraSlide(jpeg_path) as slide:
        assert slide.level_count > 0
    with pytest.raises(pyradec.OpenSlideError):
        slide.level_count


def test_filename_and_pickle_keep_the_path_as_given(jpeg_path, tmp_path):
    relative = os.path.relpath(jpeg_path)
    slide = pyradec.PyraSlide(relative)
    assert slide.filename == relative
    clone = pickle.loads(pickle.dumps(slide))
    assert clone.filename == relative
    assert clone.level_dimensions == slide.level_dimensions
    assert repr(slide) == f"PyraSlide({relative!r})"
    from pathlib import Path
    assert pyradec.PyraSlide(Path(jpeg_path)).dimensions == slide.dimensions


def test_drop_in_names_are_the_same_objects():
    assert pyradec.OpenSlide is pyradec.PyraSlide
    assert pyradec.OpenSlideError is pyradec.PyraError
    assert pyradec.OpenSlideUnsupportedFormatError is pyradec.PyraUnsupportedFormatError
    assert pyradec.OpenSlideCache is pyradec.PyraCache
    assert issubclass(pyradec.PyraUnsupportedFormatError, pyradec.PyraError)


def bad_files(directory):
    """name -> (path, the reason the message must give)."""
    d = str(directory)
    with open(os.path.join(d, "empty.pyra"), "wb"):
        pass
    with open(os.path.join(d, "text.pyra"), "wb") as f:
        f.write(b"just some text, not a slide\n" * 10)
    os.mkdir(os.path.join(d, "folder.pyra"))
    return {
        "missing": (os.path.join(d, "missing.pyra"), "no such file"),
        "directory": (os.path.join(d, "folder.pyra"), "is a directory"),
        "empty": (os.path.join(d, "empty.pyra"), "empty file"),
        "not a slide": (os.path.join(d, "text.pyra"), "not a slide file"),
    }


DAMAGED = {
    "damaged-person": "damaged slide: person information at offset",
    "damaged-extra": "damaged slide: extra information at offset",
    "damaged-label": "damaged slide: associated image",
    "damaged-thumbnail": "damaged slide: thumbnail at offset",
    "damaged-layer": "damaged slide: layer 1 record at offset",
    "damaged-chain": "damaged slide: layer 1 record at offset",
    "damaged-table": "damaged slide: layer 1 tile table at offset",
}


def test_every_bad_file_says_why(tmp_path, slide_dir):
    cases = bad_files(tmp_path)
    for name, reason in DAMAGED.items():
        cases[name] = (os.path.join(slide_dir, f"{name}.pyra"), reason)
    for name, (path, reason) in cases.items():
        with pytest.raises(pyradec.PyraUnsupportedFormatError) as caught:
            pyradec.PyraSlide(path)
        assert str(caught.value).startswith(f"{path}: {reason}"), (name, str(caught.value))
        assert pyradec.PyraSlide.detect_format(path) is None
        # The reference's name catches it too.
        with pytest.raises(pyradec.OpenSlideError):
            pyradec.open_slide(path)


def test_unreadable_file_says_why(jpeg_path):
    code = ("import pyradec, sys\n"
            "try:\n    pyradec.PyraSlide(sys.argv[1])\n"
            "except pyradec.PyraUnsupportedFormatError as e:\n    print(e)\n")
    # Root reads every file, so the check runs as an ordinary user then.
    user = 65534 if os.geteuid() == 0 else None
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        path = os.path.join(directory, "locked.pyra")
        shutil.copy(jpeg_path, path)
        os.chmod(path, 0)
        result = subprocess.run(["/usr/bin/python3", "-c", code, path], capture_output=True,
                                text=True, user=user, env=dict(os.environ), cwd="/")
    assert result.stdout.strip() == f"{path}: cannot be read: Permission denied", result.stderr
