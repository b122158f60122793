#include "link/link_state.hpp"

namespace velmar {

MbusLinkState& LinkState() {
  thread_local MbusLinkState state;
  return state;
}

}  // namespace velmar
