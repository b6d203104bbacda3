// Virtual time for the simulated link: microseconds since the start of a simulation.
// Nothing sleeps; time moves only when the host side of a SimLink blocks (read, write, pause)
// and the link advances the clock to the next event.
#pragma once

#include <cstdint>

class VirtualClock {
 public:
  uint64_t NowUs() const { return now_us_; }
  // Moves time forward; never backwards.
  void AdvanceTo(uint64_t us) {
    if (us > now_us_) now_us_ = us;
  }

 private:
  uint64_t now_us_ = 0;
};
