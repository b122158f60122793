// The decoder's two notices ("Overflow. Larger than 4 bytes integer!", "Ovanlig unit
// (Effekt)") are shown to the user whatever the control's noErrorPopup says. The decoder knows
// no control, so whoever feeds a store installs a sink in that store for the length of one
// decode. Without a sink the notices are dropped (offline decoding, benchmarks).
#pragma once

#include <functional>
#include <string>

namespace velmar {

using NoticeSink = std::function<void(const std::string& text)>;

// Where a store's notices go. It is no part of what the decoder learned, so two stores compare
// equal whatever their sinks.
struct NoticeSlot {
  NoticeSink sink;
  bool operator==(const NoticeSlot&) const { return true; }
};

struct OrvMeterData;

// Sends the notices of `store` to `sink` while it lives, then back to where they went before.
class ScopedNoticeSink {
 public:
  ScopedNoticeSink(OrvMeterData& store, NoticeSink sink);
  ~ScopedNoticeSink();
  ScopedNoticeSink(const ScopedNoticeSink&) = delete;
  ScopedNoticeSink& operator=(const ScopedNoticeSink&) = delete;

 private:
  OrvMeterData& store_;
  NoticeSink previous_;
};

// Gives `text` to the sink of `store`, if it has one.
void ShowNotice(const OrvMeterData& store, const std::string& text);

}  // namespace velmar
