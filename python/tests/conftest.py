# The tests run under the simulated camera: tarvo-sim run -- python3 -m
# pytest (see CMakeLists.txt), one EPC camera with the default scene, a wall
# 1.5 m away, streaming at 30 frames per second.

import pytest

import tarvo

SCENE_DISTANCE_M = 1.5



@pytest.fixture(scope="module")
def dev():
    with tarvo.Device() as d:
        yield d
        if d.capturing:
            d.stop()


@pytest.fixture
def capturing(dev):
    dev.start()
    yield dev
    dev.stop()
