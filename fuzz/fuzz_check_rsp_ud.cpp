// libFuzzer target over the RSP_UD check and the record walker. The first input byte is the
// decodeMode; the rest is the received reply.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/meter_data.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0] == 1 ? 250 : data[0];
  std::vector<std::uint8_t> reply(data + 1, data + size);
  const auto count = static_cast<std::int16_t>(reply.size() > 0x7FFF ? 0x7FFF : reply.size());
  const std::int16_t result = velmar::CheckRspUd(reply, count, mode);
  // Whatever the reply, the walk never stays half done for the next parse.
  if (velmar::LinkState().bytesToDecode != 0 && result != velmar::LinkResult::kUndecodedData)
    __builtin_trap();
  if (result > 0 || result < -7) __builtin_trap();
  return 0;
}
