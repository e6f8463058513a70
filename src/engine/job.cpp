#include "engine/job.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "engine/retry.h"
#include "platform/file.h"
#include "platform/services.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "transfer/url.h"

DownloadJob::DownloadJob(JobEvents& events) : m_events(events) {}

namespace {
const char* phaseWord(DownloadJob::Phase p) {
  using P = DownloadJob::Phase;
  switch (p) {
    case P::Connecting: return "connecting";
    case P::Receiving: return "receiving";
    case P::Asking: return "asking";
    case P::Waiting: return "waiting";
    case P::Paused: return "paused";
    case P::Idle:
    case P::Finished: break;
  }
  return "";
}
}  // namespace

DownloadJob::~DownloadJob() {
  if (m_transfer) m_transfer->close();
}

// ---- the resume point ----

void DownloadJob::writeStart() {
  if (m_slot.empty()) return;
  QueueEntry::write(m_slot, QueueValue::Start, m_startOffset + m_bytesThisConn);
  m_startMoved = true;
}

LiveState DownloadJob::live() const {
  LiveState l;
  // The bytes on disk: a resume that stepped back has not lost the ones after its start.
  l.done = std::max(m_highWater, m_startOffset + m_bytesThisConn);
  l.size = m_wholeSize;
  l.phase = m_asking ? "asking" : phaseWord(m_phase);
  l.rate = m_phase == Phase::Receiving ? m_rate : 0;
  l.retryAt = m_phase == Phase::Waiting ? m_waitUntil : 0;
  l.connections = connectionCount();
  return l;
}

void DownloadJob::setAsking(bool asking) {
  if (m_asking == asking) return;
  m_asking = asking;
  // A question may hold the event loop: it is said at once.
  if (!m_slot.empty()) publish();
}

void DownloadJob::publish() {
  std::int64_t now = static_cast<std::int64_t>(GetTickCount());
  std::int64_t done = m_startOffset + m_bytesThisConn;
  if (m_rateDone >= 0 && now > m_rateTick && done >= m_rateDone)
    m_rate = (done - m_rateDone) * 1000 / (now - m_rateTick);
  m_rateDone = done;
  m_rateTick = now;
  LiveState l = live();
  if (l == m_published && !m_startMoved) return;
  // The resume point goes with it only when bytes moved it: a resume's step back is no
  // loss of the bytes on disk, and is not stored.
  QueueEntry::publish(m_slot, m_startMoved ? std::optional<std::int64_t>(done) : std::nullopt, l);
  m_published = l;
  m_startMoved = false;
}

ProfileData DownloadJob::stamp() const {
  if (m_lastModified.empty()) return ProfileData{};  // none: the value goes
  return m_lastModified;
}

void DownloadJob::startFresh() {
  m_startOffset = m_bytesThisConn = m_highWater = 0;
}

void DownloadJob::restore(const QueueEntry& e, std::int64_t rollbackBytes) {
  m_lastModified = e.lastModified;
  m_stupidServer = e.stupidServer;
  // A server that does not resume sends the whole file again.
  m_startOffset = m_stupidServer == 1 ? 0 : e.start;
  m_highWater = e.start;
  m_bytesThisConn = 0;
  stepBack(rollbackBytes);
}

bool DownloadJob::clampToFile(std::int64_t rollbackBytes, std::string& why) {
  return ClampToFile(m_d.m_localPath, m_startOffset, rollbackBytes, why);
}

void DownloadJob::stepBack(std::int64_t rollbackBytes) {
  // Bytes on standard output cannot be written again.
  if (!streaming()) m_startOffset = StepBack(m_startOffset, rollbackBytes);
}

bool DownloadJob::streaming() const { return m_d.m_localPath == kStandardOutput; }

namespace {
constexpr const char* kCannotTakeBack =
    "The server cannot go on from the bytes already written to standard output.";
}

// ---- connections ----

bool DownloadJob::open(const Route& route, std::string& why) {
  m_waitTimer.stop();
  m_bytesThisConn = 0;
  m_totalSize = 0;
  auto outFile = OpenOutputFile(m_d.m_localPath, m_startOffset, why);
  if (!outFile) return false;
  ConnectionRequest req;
  req.address = m_d;
  req.route = route;
  req.first = m_startOffset;
  req.validator = m_lastModified;
  req.http10 = m_stupidServer == 1;
  req.timeoutSeconds = static_cast<int>(ConfigInt(kTimeout));
  req.ftpPassive = ConfigInt(kFTPPassive) != 0;
  retire();
  m_transfer = makeTransfer(std::move(req), *this, std::move(outFile));
  m_phase = Phase::Connecting;
  // Said at once (an earlier copy's state may stand in the entry), then once a second.
  if (!m_slot.empty() && !m_publishTimer.active() && m_publishTimer.start(1000, [this] { publish(); })) publish();
  int error = 0, messageId = 0;
  if (!m_transfer->createSockets(error, messageId)) {
    m_transfer->close();
    ConnectionResult r{Outcome::SocketFailed, error, LoadString(messageId), Answerer::Local, -1};
    deliver(r);
    return true;
  }
  if (!m_transfer->connect(error)) {
    ConnectionResult r{Outcome::ConnectFailed, error, route.host, Answerer::Local, -1};
    m_transfer->close();
    connectionOutcome(r);
  }
  return true;
}

void DownloadJob::retire() {
  if (!m_transfer) return;
  m_transfer->close();
  m_retired.push_back(std::move(m_transfer));
  m_retireTimer.defer([this] { m_retired.clear(); });
}

void DownloadJob::stop() {
  m_waitTimer.stop();
  if (m_transfer) m_transfer->close();
  if (m_phase == Phase::Finished) return;
  noteWholeSize();
  m_startOffset += m_bytesThisConn;
  m_bytesThisConn = 0;
  m_phase = Phase::Paused;
}

bool DownloadJob::newLogin(const std::string& user, const std::string& password) {
  m_d.m_user = user;
  m_d.m_password = password;
  if (m_transfer && m_transfer->isOpen() && m_transfer->newLogin(user, password)) {
    m_phase = Phase::Connecting;
    return true;
  }
  return false;
}

void DownloadJob::redirectPrepared() {
  const Download& was = m_beforeRedirect;
  if (m_d.m_service == svc::kHttp &&
      (m_d.m_server != was.m_server || m_d.m_port != was.m_port || m_d.m_secure != was.m_secure)) {
    m_d.m_user.clear();
    m_d.m_password.clear();
  }
}

// ---- what the connection reports ----

void DownloadJob::connectionNote(Note what, const std::string& text) {
  switch (what) {
    case Note::Log: m_headers += text; return;
    case Note::NoResume:
      // Standard output cannot start over: the reply's first byte is checked at its header.
      if (streaming()) break;
      // The bytes on disk are being overwritten from the start: a resume must not trust them.
      m_startOffset = m_bytesThisConn = m_highWater = 0;
      noteWholeSize();
      writeStart();
      break;
    case Note::Receiving: m_phase = Phase::Receiving; break;
    case Note::Status:
    case Note::Renamed: break;
  }
  m_events.jobNote(what, text);
}

bool DownloadJob::connectionReply(const ReplyFacts& facts) {
  m_redirectCount = 0;
  if (streaming() && facts.first != m_startOffset) {
    m_endReason = kCannotTakeBack;
    return false;
  }
  m_serverDigest = facts.digest;
  if (m_nameFromServer && !facts.fileName.empty() && m_startOffset == 0 && m_bytesThisConn == 0 && !streaming())
    takeServerName(facts.fileName);
  m_totalSize = facts.length > 0 ? facts.length : 0;
  // The connection announces what it sends: the whole file is that past its first byte.
  noteWholeSize();
  if (!facts.validator.empty()) {
    if (!m_lastModified.empty() && m_lastModified != facts.validator && m_startOffset != 0) return false;
    m_lastModified = facts.validator;
    // The stamp of the bytes about to come, with the point they start from.
    if (!m_slot.empty())
      QueueEntry::write(m_slot, {{QueueValue::Start, m_startOffset}, {QueueValue::LastMod, stamp()}});
  }
  return true;
}

void DownloadJob::takeServerName(const std::string& name) {
  std::string why;
  std::string renamed = RenameNewFile(m_d.m_localPath, serverFileName(name), why);
  if (renamed.empty()) return;
  m_d.m_localPath = renamed;
  if (!m_slot.empty()) QueueEntry::write(m_slot, QueueValue::Local, renamed);
  m_events.jobNote(Note::Renamed, renamed);
}

void DownloadJob::connectionWrote(std::int64_t offset, std::int64_t n) {
  m_phase = Phase::Receiving;
  m_bytesThisConn = offset + n - m_startOffset;
  writeStart();
  m_events.jobWrote();
}

void DownloadJob::connectionOutcome(const ConnectionResult& r) {
  // Standard output cannot start over once a byte is out.
  bool startsOver = r.what == Outcome::NoRange || r.what == Outcome::Restart || r.what == Outcome::FileChanged;
  if (startsOver && streaming() && m_startOffset + m_bytesThisConn > 0) {
    retire();
    m_endReason = kCannotTakeBack;
    deliver(Outcome::GaveUp, m_endReason);
    return;
  }
  switch (r.what) {
    case Outcome::FtpLoginRefused:
      m_phase = Phase::Asking;
      deliver(r);
      return;
    case Outcome::Finished:
      m_phase = Phase::Finished;
      deliver(r);
      return;
    case Outcome::Redirected:
      retire();
      if (++m_redirectCount > kMaxRedirects) {
        deliver(Outcome::TooManyRedirects);
        return;
      }
      m_beforeRedirect = m_d;
      m_d.m_url = r.text;
      deliver(r);
      return;
    case Outcome::NoRange:
      // Only the origin's answer says that it cannot resume; it is kept for later resumes.
      retire();
      if (r.who == Answerer::Origin) {
        m_stupidServer = 1;
        if (!m_slot.empty()) QueueEntry::write(m_slot, QueueValue::StupidServer, 1);
        m_events.jobNote(Note::NoResume, std::string());
      }
      deliver(Outcome::Reconnect);
      return;
    case Outcome::Restart:
    case Outcome::FileChanged:
      // The file is fetched again from its start; the entry says so before any new byte.
      retire();
      m_startOffset = m_bytesThisConn = m_highWater = 0;
      if (r.what == Outcome::FileChanged) m_lastModified.clear();
      // Both at once: a kill between them must not pair the old stamp with new bytes.
      if (!m_slot.empty())
        QueueEntry::write(m_slot, {{QueueValue::Start, std::int64_t{0}}, {QueueValue::LastMod, stamp()}});
      m_events.jobNote(Note::NoResume, std::string());
      deliver(Outcome::Reconnect);
      return;
    default: break;
  }
  if (isTemporary(r) && ConfigInt(kRetries) > 0) {
    tryAgain(r);
    return;
  }
  deliver(r);
}

void DownloadJob::tryAgain(const ConnectionResult& r) {
  std::int64_t reached = m_startOffset + m_bytesThisConn;
  stop();
  std::string why = failureReason(r);
  if (reached > m_highWater) {
    // It was moving: on at once, from a little before its last bytes as a Resume would.
    m_highWater = reached;
    m_fruitless = 0;
    m_phase = Phase::Connecting;
    stepBack(RollbackBytes());
    m_waitTimer.defer([this] { m_events.jobRetry(); });
    return;
  }
  if (m_mirrorList) {
    // The next site comes before this one again; whole rounds of the list are counted.
    deliver(Outcome::NextSite, why);
    return;
  }
  if (usedUp(why)) {
    deliver(Outcome::GaveUp, m_endReason);
    return;
  }
  wait(retryWaitSeconds(m_fruitless, r.retryAfter), why);
}

bool DownloadJob::usedUp(const std::string& why) {
  if (++m_fruitless <= ConfigInt(kRetries)) return false;
  m_endReason = Format("Gave up after %d attempts without data: %s", m_fruitless, why.c_str());
  return true;
}

bool DownloadJob::waitForNextRound(const std::string& why) {
  if (ConfigInt(kRetries) <= 0 || usedUp(why)) return false;
  wait(retryWaitSeconds(m_fruitless, -1), why);
  return true;
}

void DownloadJob::wait(int seconds, const std::string& why) {
  m_phase = Phase::Waiting;
  m_waitLeft = seconds;
  m_waitUntil = static_cast<std::int64_t>(std::time(nullptr)) + seconds;
  m_waitWhy = why;
  auto tick = [this] {
    if (m_waitLeft <= 0) {
      m_waitTimer.stop();
      m_phase = Phase::Connecting;
      m_events.jobRetry();
      return;
    }
    m_events.jobWaiting(m_waitLeft--, m_waitWhy);
  };
  // The first second is shown at once; without timers nobody waits.
  if (!m_waitTimer.start(1000, tick)) {
    m_waitTimer.defer([this] { m_events.jobRetry(); });
    return;
  }
  m_waitTimer.defer([this, tick] {
    tick();
    if (m_phase == Phase::Waiting) m_waitTimer.start(1000, tick);
  });
}

void DownloadJob::deliver(const ConnectionResult& r) {
  m_pending.push_back(r);
  m_deliverTimer.defer([this] {
    auto pending = std::move(m_pending);
    m_pending.clear();
    for (const auto& p : pending) m_events.jobOutcome(p);
  });
}

void DownloadJob::deliver(Outcome what, const std::string& text) {
  ConnectionResult r;
  r.what = what;
  r.text = text;
  deliver(r);
}
