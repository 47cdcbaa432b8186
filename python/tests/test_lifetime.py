import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarvo
from conftest import SCENE_DISTANCE_M


def test_frame_outlives_its_device(tmp_path):
    dev = tarvo.Device().open()
    dev.start()
    (f,) = dev.frames(1)
    d = f.distance()
    dev.close()
    assert not dev.is_open
    # The bytes stay; the device-bound methods say why they cannot run.
    assert len(f.raw) == f.size
    for call in (f.distance, f.gray, f.point_cloud, lambda: f.colorize(0, 5),
                 lambda: f.save(str(tmp_path / "x.tq"))):
        with pytest.raises(tarvo.DeviceClosedError, match="closed"):
            call()
    # Reopening the device does not revive frames of the earlier open.
    dev.open()
    try:
        with pytest.raises(tarvo.DeviceClosedError):
            f.distance()
        with pytest.raises(tarvo.NotCapturingError):
            dev.frames(1)
    finally:
        dev.close()
    with pytest.raises(tarvo.NoDeviceError):
        dev.start()
    assert d.shape == (240, 320)


def test_frame_files(tmp_path):
    with tarvo.Device() as dev:
        dev.start()
        a, b = dev.frames(2)
        path = tmp_path / "d.tq"
        a.save(path, "F32")
        b.save(path, "F32", append=True)
        loaded = tarvo.load_frames(path)
        assert len(loaded) == 2
        np.testing.assert_array_equal(loaded[0].distance(), a.distance())
        np.testing.assert_array_equal(loaded[1].distance(), b.distance())
        # Millimetres, truncated.
        a.save(tmp_path / "d16.tq", "U16")
        (m,) = tarvo.load_frames(tmp_path / "d16.tq")
        np.testing.assert_allclose(m.distance(), np.trunc(a.distance() * 1000) / 1000, atol=1e-6)
        a.save(tmp_path / "g.tq", "U8", kind="gray")
        (g,) = tarvo.load_frames(tmp_path / "g.tq")
        np.testing.assert_array_equal(g.gray(), np.trunc(a.gray()) % 256)
        with pytest.raises(tarvo.BadArgumentError):
            a.save(tmp_path / "bad.tq", "U8")
        # A loaded frame has no lens: the caller names the camera.
        with pytest.raises(tarvo.BadArgumentError):
            loaded[0].point_cloud()
        pts = loaded[0].point_cloud(camera=(160, 120, 200, 200))
        assert pts.shape[1] == 3 and len(pts) > 70000


def test_data_transfer_progress(tmp_path):
    image = bytes(range(256)) * 12  # 3072 bytes: chunks of 1018, 1018, 1018 and 18
    src = tmp_path / "image.bin"
    src.write_bytes(image)
    back = tmp_path / "back.bin"
    wrote, read = [], []
    with tarvo.Device() as dev:
        dev.write_data(src, type=4, version=2, progress=lambda d, t: wrote.append((d, t)))
        dev.read_data(back, type=4, progress=lambda d, t: read.append((d, t)))
        with pytest.raises(tarvo.Error):  # not above the stored version
            dev.write_data(src, type=4, version=2)
    assert back.read_bytes() == image
    assert wrote == [(1018, 3072), (2036, 3072), (3054, 3072), (3072, 3072)]
    assert [d for d, _ in read] == [450 * k for k in range(1, 7)] + [3072]


def test_no_camera():
    # A process that does not see the simulated bus finds nothing.
    env = {k: v for k, v in os.environ.items() if k != "UMOCKDEV_DIR"}
    code = ("import tarvo\n"
            "assert tarvo.list_devices() == []\n"
            "try:\n"
            "    tarvo.Device().open()\n"
            "except tarvo.NoDeviceError as e:\n"
            "    print('no device', e.code)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert "no device" in out.stdout


def test_readme_example(tmp_path):
    # The README's example, run as a user would, sees the scene's plane.
    example = Path(__file__).resolve().parents[1] / "examples" / "example.py"
    out = subprocess.run([sys.executable, str(example)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    m = re.search(r"-> (\d+) points, median depth (\d+\.\d+) m", out.stdout)
    assert m and int(m.group(1)) > 50000, out.stdout
    assert abs(float(m.group(2)) - SCENE_DISTANCE_M) <= 0.01, out.stdout
    assert (tmp_path / "depth.ppm").read_bytes().startswith(b"P6 320 240 255\n")
