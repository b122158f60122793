// The pace of one radio meter in the collector. A meter sends far more often than a site needs
// its readings: a telegram is published when the meter's interval has passed since its last
// published one. A meter counts as available until three intervals pass without a telegram
// read to its values, so one or two telegrams lost in the air do not make it flap offline.
// Times are given, not read from a clock, so the rules can be tried on any timeline.
#pragma once

#include <chrono>

namespace velmar::tools {

class RadioPace {
 public:
  using Clock = std::chrono::steady_clock;

  // `intervalSeconds` is the meter's interval from the configuration, in seconds (1 and up);
  // the meter counts as heard at `start`.
  RadioPace(int intervalSeconds, Clock::time_point start);

  // A telegram of the meter came at `now`, read to its values when `good`. Returns whether it
  // is published (the first one, and then one per interval); a good one makes the meter
  // available again. Constant time.
  bool Heard(Clock::time_point now, bool good);
  // Whether the meter has just fallen silent at `now`: available until then, and not heard
  // for three intervals. It is then unavailable until a good telegram comes. Constant time.
  bool FallsSilent(Clock::time_point now);
  // The receiver is lost: the meter is unavailable at once. Returns whether it was available.
  bool Lost();
  bool Available() const { return available_; }
  // How long the meter may go unheard: three intervals.
  std::chrono::seconds SilenceLimit() const { return 3 * interval_; }

 private:
  std::chrono::seconds interval_;
  Clock::time_point lastHeard_;
  Clock::time_point lastPublished_{};
  bool published_ = false;
  bool available_ = true;
};

}  // namespace velmar::tools
