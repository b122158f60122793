#include "radio_pace.hpp"

namespace velmar::tools {

RadioPace::RadioPace(int intervalSeconds, Clock::time_point start)
    : interval_(intervalSeconds), lastHeard_(start) {}

bool RadioPace::Heard(Clock::time_point now, bool good) {
  if (good) lastHeard_ = now;
  if (published_ && now - lastPublished_ < interval_) return false;
  published_ = true;
  lastPublished_ = now;
  if (good) available_ = true;
  return true;
}

bool RadioPace::FallsSilent(Clock::time_point now) {
  if (!available_ || now - lastHeard_ < SilenceLimit()) return false;
  available_ = false;
  return true;
}

bool RadioPace::Lost() {
  const bool was = available_;
  available_ = false;
  return was;
}

}  // namespace velmar::tools
