// A recording (tools/recording/recording.h, docs/recording.md) as a
// simulated camera: the camera it was taken from, replayed.
#pragma once

#include "recording.h"
#include "tarvo_sim/config.h"

namespace tarvo::sim {

// The configuration of a camera that stands in for the recorded one:
// - identity: product, id text and the recorded parameters (id block,
//   version, chip information, frame rate, integration time,
//   temperatures, sync delay, ...) as the camera answered them;
// - calibration: the recorded stored calibration, served in data upload
//   mode as the camera did; none when the recording holds none;
// - stream: the recorded raw frames, each with its format, geometry and
//   header driver bytes (the temperatures an EPC driver reads), in order,
//   starting from the first at every capture start and looping after the
//   last, paced by the recorded frame rate.
// Options of `base` that describe neither (speed, reset delay, USB strings)
// are kept. Any product code works: the chip driver is chosen from the
// recorded product text as for a real camera.
CameraConfig replay_config(const rec::Recording &r, CameraConfig base = {});

}  // namespace tarvo::sim
