#include "platform/phase.h"

namespace {
struct Words {
  JobPhase phase;
  const char* word;
  const char* text;
};
constexpr Words kWords[] = {
    {JobPhase::Queued, "queued", "Queued"},
    {JobPhase::Pending, "pending", "Waiting for its turn"},
    {JobPhase::Idle, "starting", "Starting"},
    {JobPhase::Connecting, "connecting", "Connecting"},
    {JobPhase::Receiving, "receiving", "Receiving"},
    {JobPhase::Asking, "asking", "Waiting for an answer"},
    {JobPhase::Waiting, "waiting", "Waiting to try again"},
    {JobPhase::Paused, "paused", "Paused"},
    {JobPhase::Failed, "failed", "Failed"},
    {JobPhase::Finished, "finished", "Finished"},
};

const Words& wordsOf(JobPhase p) {
  for (const Words& w : kWords)
    if (w.phase == p) return w;
  return kWords[0];
}
}  // namespace

const char* phaseWord(JobPhase p) { return wordsOf(p).word; }
const char* phaseText(JobPhase p) { return wordsOf(p).text; }

JobPhase phaseOf(std::string_view word) {
  for (const Words& w : kWords)
    if (word == w.word) return w.phase;
  return JobPhase::Queued;
}

bool phaseAtRest(JobPhase p) {
  switch (p) {
    case JobPhase::Pending:
    case JobPhase::Waiting:
    case JobPhase::Paused:
    case JobPhase::Failed:
    case JobPhase::Finished: return true;
    default: return false;
  }
}
