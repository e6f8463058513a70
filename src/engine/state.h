// A download's state as one value and the clock the job runs on. The job is the only code
// that changes the state; the session and the views read it, or the snapshot made of it
// (queue/snapshot.h).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/pieces.h"
#include "platform/phase.h"
#include "queue/snapshot.h"
#include "transfer/download.h"


// A range lent to one connection: it writes from range.first on, and has reached pos.
struct Checkout {
  int conn = 0;
  Range range;
  std::int64_t pos = 0;
  bool operator==(const Checkout&) const = default;
};

struct DownloadState {
  Download address;          // the URL, its parts, the login and the local file
  std::string etag;          // the validators of the bytes on disk ("" none)
  std::string lastModified;
  std::int64_t total = -1;   // the whole file's length, -1 unknown
  Ranges done;               // every byte range in the file and trusted, [0, Start) first
  std::vector<Checkout> out; // ranges lent to running connections, by connection id
  int fruitless = 0;         // attempts in a row that got no further than highWater
  std::int64_t highWater = 0;  // the most bytes any attempt had: beyond it an attempt is progress
  std::int64_t checked = 0;    // bytes before this were fetched again after a rollback already
  // Bytes on disk before this were stepped back over (0 none): fetched again, they are
  // compared before anything is written; a difference is another version or a damaged tail.
  std::int64_t compareTo = 0;
  Range check;                 // an earlier range compared to tell the two apart (empty none)
  bool otherSite = false;      // the bytes on disk came from another site of a mirror list
  int stupidServer = 0;      // 1: the server sends whole files only
  bool oneConnection = false;  // the server gave no range: the rest comes on one connection
  JobPhase phase = JobPhase::Idle;
  std::string endReason;     // why it ended or stopped, in one line ("" not known)

  std::int64_t start() const { return pieces::prefix(done); }
  std::int64_t bytesDone() const { return pieces::bytes(done); }
  const Checkout* checkout(int conn) const;
  Checkout* checkout(int conn);
};

// Time for the job: a clock and timers on the event loop, or a test's.
class JobTimer {
 public:
  virtual ~JobTimer() = default;
  // Calls fn every ms milliseconds (once when single); false when no timer can be had.
  virtual bool start(int ms, std::function<void()> fn, bool single = false) = 0;
  virtual void stop() = 0;
  virtual bool active() const = 0;
  void defer(std::function<void()> fn) { start(0, std::move(fn), true); }
};

class JobClock {
 public:
  virtual ~JobClock() = default;
  virtual std::int64_t ms() const = 0;       // monotonic milliseconds
  virtual std::int64_t seconds() const = 0;  // wall time, seconds since 1970
  virtual std::unique_ptr<JobTimer> timer() = 0;
};

// The event loop's clock and timers.
JobClock& systemClock();
