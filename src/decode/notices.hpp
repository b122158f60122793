// The decoder's two notices ("Overflow. Larger than 4 bytes integer!", "Ovanlig unit
// (Effekt)") are shown to the user whatever the control's noErrorPopup says. The decoder is
// per thread and knows no control, so the control that feeds it installs a sink for the length
// of one decode. Without a sink the notices are dropped (offline decoding, benchmarks).
#pragma once

#include <functional>
#include <string>

namespace velmar {

using NoticeSink = std::function<void(const std::string& text)>;

class ScopedNoticeSink {
 public:
  explicit ScopedNoticeSink(NoticeSink sink);
  ~ScopedNoticeSink();
  ScopedNoticeSink(const ScopedNoticeSink&) = delete;
  ScopedNoticeSink& operator=(const ScopedNoticeSink&) = delete;

 private:
  NoticeSink previous_;
};

void ShowNotice(const std::string& text);

}  // namespace velmar
