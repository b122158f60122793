#include "decode/notices.hpp"

#include <utility>

namespace velmar {
namespace {

NoticeSink& CurrentSink() {
  thread_local NoticeSink sink;
  return sink;
}

}  // namespace

ScopedNoticeSink::ScopedNoticeSink(NoticeSink sink) : previous_(std::move(CurrentSink())) {
  CurrentSink() = std::move(sink);
}

ScopedNoticeSink::~ScopedNoticeSink() {
  CurrentSink() = std::move(previous_);
}

void ShowNotice(const std::string& text) {
  if (CurrentSink()) CurrentSink()(text);
}

}  // namespace velmar
