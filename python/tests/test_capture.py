import threading
import time

import numpy as np
import pytest

import tarvo
from conftest import SCENE_DISTANCE_M


def test_list_and_identity(dev):
    # The camera is open here: the listing takes its identity from the
    # open device instead of probing it again.
    (info,) = tarvo.list_devices()
    ident = dev.identity
    assert (info.bus, info.port) == (ident.bus, ident.port) == (1, 2)
    assert (info.product, info.id, info.firmware) == (ident.product, ident.id, ident.firmware)
    assert ident.product == "TarvoSim-E2-1.0" and ident.id == "SIM-0001"
    assert ident.firmware > 0
    assert dev.params.int(tarvo.Param.FRAME_RATE) == 30


def test_params_round_trip(dev):
    dev.params[40] = b"\x01\x02\x03"
    assert dev.params[40] == b"\x01\x02\x03"
    dev.params[41] = 123456
    assert dev.params.int(41) == 123456


def test_frames_are_arrays_of_the_scene(capturing):
    frames = capturing.frames(3)
    # In order; a slow sanitizer build may let the camera's ring drop some.
    idx = [f.index for f in frames]
    assert idx == sorted(set(idx))
    f = frames[0]
    assert (f.width, f.height, f.size, len(f.raw)) == (320, 240, 614400, 614400)
    sensor, ib = f.temperatures
    assert 0 < sensor < 100 and 0 < ib < 100

    d = f.distance()
    assert d.shape == (240, 320) and d.dtype == np.float32
    valid = (d > 0) & (d < 60)
    assert valid.mean() > 0.9  # the lens corners see no ray
    # Distances are along each pixel's ray: near the optical axis they are
    # the wall's distance.
    assert np.median(d[112:128, 150:166]) == pytest.approx(SCENE_DISTANCE_M, abs=0.02)

    g = f.gray()
    assert g.shape == (240, 320) and g.dtype == np.float32 and g.max() > 0

    # A fresh array every call: writing into one changes nothing else.
    kept = d.copy()
    d[:] = 0
    np.testing.assert_array_equal(f.distance(), kept)

    pts = f.point_cloud()
    assert pts.shape == (valid.sum(), 3) and pts.dtype == np.float32
    # The distance is the length of the ray to each point.
    np.testing.assert_allclose(np.linalg.norm(pts, axis=1), kept[valid], rtol=1e-5)
    assert (pts[:, 2] > 0).all()

    cpts = f.point_cloud(colour=True)
    assert cpts.shape == (valid.sum(), 4)
    np.testing.assert_array_equal(cpts[:, :3], pts)

    rgb = f.colorize(0.5, 4.0)
    assert rgb.shape == (240, 320, 3) and rgb.dtype == np.uint8 and rgb.any()
    assert capturing.stats["frames"] >= 3


def test_iteration_and_gil(capturing):
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=spin)
    t.start()
    got = []
    for f in capturing:
        got.append(f)
        if len(got) == 5:
            break
    stop.set()
    t.join()
    # Five frames at 30 fps take ~150 ms; the other thread ran meanwhile.
    assert len(got) == 5 and len(ticks) > 20


def test_capture_errors(dev):
    with pytest.raises(tarvo.NotCapturingError) as e:
        dev.frames(1)
    assert e.value.code == -2
    dev.start()
    try:
        with pytest.raises(tarvo.TimeoutError):
            dev.frames(30, timeout=0.2)
        with pytest.raises(tarvo.BadArgumentError):
            dev.frames(0)
    finally:
        dev.stop()
    with pytest.raises(tarvo.BadArgumentError, match="unknown filter"):
        dev.enable_filter("sharpen", 1)
    with pytest.raises(tarvo.BadArgumentError):
        dev.enable_filter("min_amplitude")
    with pytest.raises(tarvo.BadArgumentError):
        dev.reset(9)
    dev.enable_filter("min_amplitude", 30)
    dev.disable_filter("min_amplitude")


def test_callbacks(dev):
    seen = []
    done = threading.Event()

    def cb(frame):
        seen.append((frame.index, frame.distance().shape, threading.get_ident()))
        if len(seen) == 4:
            done.set()

    dev.on_frame(cb)
    dev.start()
    try:
        assert done.wait(5)
        with pytest.raises(tarvo.Error, match="on_frame"):
            dev.frames(1)
    finally:
        dev.stop()
        dev.on_frame(None)
    idx = [s[0] for s in seen[:4]]
    assert idx == sorted(idx) and all(s[1] == (240, 320) for s in seen)
    assert seen[0][2] != threading.get_ident()


@pytest.mark.parametrize("from_callback", [False, True])
def test_stop_during_callback(dev, from_callback):
    entered = threading.Event()
    left = threading.Event()

    def cb(frame):
        entered.set()
        if from_callback:
            dev.stop()
        else:
            time.sleep(0.3)  # the stop arrives while this runs
        left.set()

    dev.on_frame(cb)
    dev.start()
    try:
        assert entered.wait(5)
        stopper = threading.Thread(target=dev.stop)
        stopper.start()
        stopper.join(5)
        assert not stopper.is_alive(), "stop() deadlocked against the callback"
        assert left.is_set()
        assert not dev.capturing
        # The device captures again afterwards.
        dev.on_frame(None)
        dev.start()
        assert len(dev.frames(2)) == 2
    finally:
        dev.stop()
        dev.on_frame(None)
