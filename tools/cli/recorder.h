// Recording a camera into a recording file (tools/recording): the
// pieces tarvo-cli record and the viewer's record button share.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "capture.h"
#include "recording.h"

namespace tarvo_cli {

// Who the open camera is, as a recording keeps it.
tarvo::rec::Identity identity_of(tarvo_dev_t *dev);

// The camera's parameters the library and a replay give a meaning to;
// those it does not answer are left out.
std::vector<tarvo::rec::Param> params_of(tarvo_dev_t *dev);

// The calibration image the camera stores, taken the way the library
// reads it out (a capture in data upload mode: call it with the capture
// stopped). Empty when the camera holds none.
std::vector<uint8_t> calibration_of(tarvo_dev_t *dev);

// Writes every frame it is handed to a recording; the file is created
// with the first frame (its lens record needs the frames' size) and
// closed by finish(). `dist_file`, when not empty, receives the decoded
// distances too (TQ_DIST F32).
class RecordSink : public FrameSink {
  public:
    RecordSink(std::string file, std::string dist_file, tarvo::rec::Identity id,
               std::vector<tarvo::rec::Param> params, std::vector<uint8_t> calib);
    ~RecordSink() override;
    bool frame(tarvo_dev_t *dev, unsigned n, const uint8_t *raw, const tarvo_frame_info_t &info,
               const Image &im) override;
    bool finish(tarvo_dev_t *dev) override;
    uint32_t frames() const { return w_.frames(); }
    size_t calibration_bytes() const { return calib_.size(); }

  private:
    std::string file_, dist_file_;
    tarvo::rec::Identity id_;
    std::vector<tarvo::rec::Param> params_;
    std::vector<uint8_t> calib_;
    tarvo::rec::Writer w_;
    int dist_fd_ = -1;
    std::chrono::steady_clock::time_point t0_;
};

}  // namespace tarvo_cli
