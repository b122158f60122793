#include "decode/notices.hpp"

#include <utility>

#include "decode/meter_data.hpp"

namespace velmar {

ScopedNoticeSink::ScopedNoticeSink(OrvMeterData& store, NoticeSink sink)
    : store_(store), previous_(std::exchange(store.notices.sink, std::move(sink))) {}

ScopedNoticeSink::~ScopedNoticeSink() {
  store_.notices.sink = std::move(previous_);
}

void ShowNotice(const OrvMeterData& store, const std::string& text) {
  if (store.notices.sink) store.notices.sink(text);
}

}  // namespace velmar
