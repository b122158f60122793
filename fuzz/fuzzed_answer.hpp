// What the far end of the line sends back to one frame in the fuzz targets that drive a master:
// fuzzer-chosen raw bytes, a lone acknowledge, or the simulated meter's own answer with a few
// bytes changed. The order the choices are taken from the input is fixed: the committed
// corpora depend on it.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "meter_model.hpp"

namespace velmar::fuzzing {

inline std::vector<std::uint8_t> FuzzedAnswer(FuzzedDataProvider& data, sim::SimMeter& meter,
                                              const std::vector<std::uint8_t>& frame) {
  switch (data.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      return data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, 300));
    case 1:
      return {0xE5};
    default: {
      auto reply = meter.OnFrame(frame);
      std::vector<std::uint8_t> bytes = reply ? reply->bytes : std::vector<std::uint8_t>{};
      for (int edits = data.ConsumeIntegralInRange<int>(0, 4); edits > 0 && !bytes.empty();
           --edits) {
        bytes[data.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1)] =
            data.ConsumeIntegral<std::uint8_t>();
      }
      return bytes;
    }
  }
}

}  // namespace velmar::fuzzing
