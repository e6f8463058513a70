// A download's state: the one vocabulary of the job, the queue entry it publishes, `--list`,
// the Downloads window and the download's own window. It becomes words only where it is
// shown: the stored word (which scripts read too) or the words for people.
#pragma once
#include <string_view>

enum class JobPhase {
  Queued,      // in the queue, no process runs it
  Pending,     // waiting for its turn (the limit of downloads at once)
  Idle,        // its process has it, nothing opened yet
  Connecting,
  Receiving,
  Asking,      // a question is on screen
  Waiting,     // to try again after a break
  Paused,
  Failed,      // stopped by a failure, with its reason
  Finished,
};

// The stored word, the same one `--list --json` gives ("queued", "pending", "starting",
// "connecting", "receiving", "asking", "waiting", "paused", "failed", "finished").
const char* phaseWord(JobPhase p);
// The phase a stored word names; Queued for none or one not known.
JobPhase phaseOf(std::string_view word);
// The words for people ("Waiting for its turn", "Waiting to try again", ...).
const char* phaseText(JobPhase p);
// Not working: paused, failed, finished, or waiting (for its turn or to try again); the
// phases a window says in words on its bar.
bool phaseAtRest(JobPhase p);
