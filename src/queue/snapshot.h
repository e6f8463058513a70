// What every view shows of a download at one moment: the job makes it, the queue entry
// publishes it, `--list` and the Downloads window read it back, and the download's own
// window renders it. Its phase becomes words only where it is shown.
#pragma once
#include <cstdint>
#include <string>

#include "platform/phase.h"

struct Snapshot {
  JobPhase phase = JobPhase::Idle;
  std::int64_t size = 0;     // the whole file, 0 unknown
  std::int64_t done = 0;     // bytes in the file, over every piece
  std::int64_t rate = 0;     // bytes a second over the last second, 0 when not receiving
  std::int64_t retryAt = 0;  // waiting: when the next try starts (seconds since 1970)
  int connections = 0;       // open now
  std::string reason;        // why it waits to try again, or why it failed ("" none)
  int turn = 0;              // pending: its place in line, 1 first; 0 not waiting

  // Seconds until done at the present rate; -1 unknown.
  std::int64_t secondsLeft() const {
    if (rate <= 0 || size <= 0 || done > size) return -1;
    return (size - done + rate - 1) / rate;
  }
  bool operator==(const Snapshot&) const = default;
};
