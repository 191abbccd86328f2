"""Avatar and Prior against the C example host and the bundle's own files."""

import os
import sys

import numpy as np
import pytest

from conftest import PREFIX, fixture_tool, kp_script, rgb_frames, run


def test_package_and_library_come_from_the_install(tq):
    if PREFIX is None:
        pytest.skip("not run from an installed prefix")
    assert tq.__file__.startswith(os.path.join(PREFIX, "lib", "python3", "site-packages") + os.sep)
    assert os.path.samefile(tq.library_path(), os.path.join(PREFIX, "lib", "libtq_core.so.0"))
    assert tq.kp_rows() == 21


@pytest.fixture(scope="module")
def host_frames(demo, work):
    """Frames the C host tq_host rendered: a keypoint script, and the idle loop."""
    import shutil
    host = os.path.join(PREFIX, "bin", "tq_host") if PREFIX else shutil.which("tq_host")
    if host is None:
        pytest.skip("the C host tq_host is neither installed nor on PATH")
    script, out = work / "script.kp", {}
    fixture_tool("demo-script", script, "--bundle", demo.bundle, "--frames", "6")
    for name, args in {"script": ["--script", script], "idle": ["--frames", "4"]}.items():
        d = work / ("png_" + name)
        d.mkdir()
        run(host, demo.bundle, "--threads", "1", *args, "--png-dir", d)
        out[name] = rgb_frames(d / "frame_%05d.png", 640, 480)
    return kp_script(script), out


def test_renders_and_pastes_the_pixels_of_the_c_host(tq, demo, host_frames):
    recs, png = host_frames
    si = np.fromfile(demo.bundle / "drive" / "si.i32", np.int32)
    with tq.Avatar(demo.bundle, threads=1) as a:
        assert (a.nt, a.width, a.height, a.crop, a.drive_frames) == (25, 640, 480, 256, 25)
        for r, want in zip(recs, png["script"]):
            crop = a.render(r["si"], r["src"], r["drv"])
            assert crop.shape == (3, 256, 256) and crop.dtype == np.float32
            np.testing.assert_array_equal(a.paste_last(r["si"]), want)
            np.testing.assert_array_equal(a.paste(r["si"], crop), want)
            rgba = a.render_rgba(r["si"], r["src"], r["drv"])
            np.testing.assert_array_equal(rgba[..., :3], want)
            assert (rgba[..., 3] == 255).all()
        out = np.zeros((480, 640, 4), np.uint8)
        for f, want in enumerate(png["idle"]):
            assert a.render_drive_rgba(f, out=out) is out
            np.testing.assert_array_equal(out[..., :3], want)
            np.testing.assert_array_equal(a.paste(si[f], a.render_drive(f)), want)
        # Driver frames as the ffmpeg tool decodes the driver movie (its own
        # colour conversion: within a few levels).
        movie = rgb_frames(demo.bundle / "target_frames.mp4", 640, 480)
        for i in (0, 7, 24):
            assert np.abs(a.frame(i).astype(int) - movie[i]).mean() < 2.0


def test_prior_rows_are_the_movies_decoded_frames(tq, work):
    d = work / "prior"
    fixture_tool("identity-bundle", d, "--nt", "3", "--crop", "32", "--W", "96", "--H", "64", "--prior", "none",
                 "--prior-movie", "--director", "b1", "--manifest-set", '{"amount": 0, "P_hevc": "P_hevc.mov"}')
    fixture_tool("movie-prior-oracle", d / "P_hevc.mov", work / "oracle.f16", "--side", "32")
    oracle = np.fromfile(work / "oracle.f16", np.float16).reshape(3, 3, 32, 32)
    with tq.Prior(d, 0, -1) as p:
        assert (p.row_bytes, p.crop) == (32 * 32 * 6, 32)
        assert p.backend.startswith("hevc444/libavcodec ")
        out = np.empty((3, 32, 32), np.float16)
        for i in (2, 0, 1, 1):
            assert p.row(i, out=out) is out
            np.testing.assert_array_equal(out, oracle[i])
        with pytest.raises(tq.Error) as e:
            p.row(3)
        assert str(e.value) == "tq_prior_row: tq_driver: seek(3) outside [0,3)"


def test_bundle_paths(tq, small):
    assert tq.resolve_bundle(small) == str(small)
    assert tq.resolve_member(small, "drive/si.i32") == str(small / "drive" / "si.i32")
    assert tq.resolve_member(small, "no_such_member") is None


def test_outputs_are_numpy_arrays_that_own_their_memory(tq, small):
    import gc
    a = tq.Avatar(small, threads=1)
    crop = a.render_drive(0)
    frame = a.paste(0, crop)
    keep = crop.copy(), frame.copy()
    # Later renders and pastes, and closing the avatar, leave them intact.
    a.render_drive(1)
    a.paste(1, a.render_drive(2))
    a.close()
    del a
    gc.collect()
    np.testing.assert_array_equal(crop, keep[0])
    np.testing.assert_array_equal(frame, keep[1])
    assert crop.base is None or crop.flags.owndata or crop.base.flags.owndata


def test_library_not_found_names_every_place_tried(tmp_path):
    code = ("import tq_core\n"
            "try:\n    tq_core.kp_rows()\n"
            "except tq_core.LibraryNotFound as e:\n    print(e)\n")
    pkg = tmp_path / "pkg"
    import shutil
    import tq_core
    shutil.copytree(os.path.dirname(tq_core.__file__), pkg / "tq_core")
    (pkg / "tq_core" / "_install_location.py").write_text('LIBRARY_DIR = "../nowhere"\n')
    env = {"PYTHONPATH": str(pkg), "TQ_CORE_LIBRARY": str(tmp_path / "libnone.so")}
    out = run(sys.executable, "-c", code, env=env)
    assert out.startswith("libtq_core not found; tried %s (installed beside the package): "
                          % (tmp_path / "pkg" / "nowhere" / "libtq_core.so.0"))
    assert "; %s ($TQ_CORE_LIBRARY): " % (tmp_path / "libnone.so") in out
    assert "; libtq_core.so.0 (the loader's search path): " in out


@pytest.mark.parametrize("obj,words", [
    ("Session", ["motion_dir", "silence_end_s", "wait_ready", "push(self, audio", "interrupt", "stats"]),
    ("Avatar", ["bundle", "render(self, si", "paste(self, si", "float32 (3, crop, crop)"]),
    ("A2X", ["W2V_ONNX", "deltas", "available"]),
])
def test_help_reads_like_a_manual(tq, obj, words):
    import pydoc
    page = pydoc.render_doc(getattr(tq, obj), renderer=pydoc.plaintext)
    for w in words:
        assert w in page, w
