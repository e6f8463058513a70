#include "engine/job.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "engine/retry.h"
#include "platform/file.h"
#include "platform/services.h"
#include "queue/local_name.h"
#include "queue/queue_store.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "transfer/url.h"

// One connection and what the job knows of it; what it reports goes to the job with it.
struct DownloadJob::Conn : ConnectionEvents {
  Conn(DownloadJob& j, int i, int s, bool p) : job(j), id(i), site(s), probe(p) {}
  DownloadJob& job;
  int id;
  int site;    // -1 the first connection's site, else an index of m_otherSites
  bool probe;  // asks a site's first byte only, and writes nothing
  bool first = false;
  bool compares = false;    // it compares bytes fetched again before it writes
  std::shared_ptr<Connection> t;
  Range asked;              // the range as it was lent
  int cutFrom = -1;         // the connection whose range it takes over, once answered
  bool race = false;        // it takes over only at its first byte (the end of a download)
  bool answered = false;
  bool gotBytes = false;
  std::int64_t openedMs = 0;
  std::shared_ptr<std::string> log = std::make_shared<std::string>();  // a further connection's part of the log
  std::string from;  // " from <server>" when it asks another site
  // Where its transfer stops: its own end, else the file's.
  std::int64_t stop(std::int64_t total) const {
    std::int64_t e = t->end();
    return e >= 0 ? e : total > 0 ? total : LLONG_MAX;
  }
  void connectionNote(Note what, const std::string& text) override { job.onNote(*this, what, text); }
  bool connectionReply(const ReplyFacts& f) override { return job.onReply(*this, f); }
  void connectionWrote(std::int64_t offset, std::int64_t n) override { job.onWrote(*this, offset, n); }
  void connectionOutcome(const ConnectionResult& r) override { job.onOutcome(*this, r); }
};

namespace {
// A rate is sampled over this long, after as long again to let a first burst pass: the
// first connection's briefly (a long look would delay the others), the others' effect
// longer (new connections of a far server are still speeding up).
constexpr int kFirstSampleMs = 25;
constexpr int kJudgeSampleMs = 100;
// How long a server that refused one more connection is given to count a closed one gone.
constexpr int kSettleMs = 1000;
// How long the next piece waits for a site asked its first byte, rather than go to a site
// already measured.
constexpr int kProbeWaitMs = 1000;
// At the end of a download a slow range is raced in halves down to this, then whole.
constexpr std::int64_t kMinRace = pieces::kMinPiece / 4;
constexpr std::int64_t kNoEnd = LLONG_MAX;
// An attempt is progress only when it brings at least this much past the high-water mark
// (and more than the rollback): a server that sends a few bytes and breaks is not working.
constexpr std::int64_t kProgressBytes = 64 << 10;

constexpr const char* kCannotTakeBack =
    "The server cannot go on from the bytes already written to standard output.";
constexpr const char* kChangedOnServer = "(The file changed on the server.)";
constexpr const char* kChangedUnderOutput =
    "The file changed on the server: the bytes already written to standard output cannot be taken back.";
// Compared to tell a damaged tail from another version.
constexpr std::int64_t kCheckBytes = 4096;

bool strong(const std::string& etag) { return !etag.empty() && etag.rfind("W/", 0) != 0; }

// The first finished range that begins after `at` (the bytes before it are the first
// connection's to fetch).
std::optional<Range> nextDone(const Ranges& done, std::int64_t at) {
  for (const Range& r : done)
    if (r.first > at) return r;
  return std::nullopt;
}
}  // namespace

DownloadJob::DownloadJob(JobEvents& events, JobClock& clock, ConnectionFactory connect)
    : m_events(events), m_clock(clock), m_connect(connect ? std::move(connect) : ConnectionFactory(makeTransfer)) {
  for (auto* t : {&m_fillTimer, &m_rampTimer, &m_saveTimer, &m_deliverTimer, &m_retireTimer, &m_waitTimer,
                  &m_publishTimer})
    *t = m_clock.timer();
}

DownloadJob::~DownloadJob() {
  for (auto& c : m_conns) c->t->close();
}

// ---- the record ----

Snapshot DownloadJob::snapshot() const {
  Snapshot s;
  s.phase = asking() ? Phase::Asking : m_s.phase;
  s.done = m_s.bytesDone();
  s.size = std::max<std::int64_t>(m_s.total, 0);
  s.rate = m_s.phase == Phase::Receiving ? m_rate : 0;
  s.connections = connections();
  s.reason = m_s.phase == Phase::Waiting ? m_waitWhy : m_s.phase == Phase::Failed ? m_s.endReason : std::string();
  s.retryAt = m_s.phase == Phase::Waiting ? m_waitUntil : 0;
  return s;
}

void DownloadJob::fail(const std::string& why) {
  if (m_s.phase == Phase::Finished) return;
  if (!why.empty() && m_s.endReason.empty()) m_s.endReason = why;
  m_s.phase = Phase::Failed;
  if (!m_slot.empty()) publish();
}

std::string DownloadJob::headers() const {
  std::string all = m_headers;
  for (const auto& part : m_pieceLogs) all += *part;
  return all;
}

void DownloadJob::setAsking(bool asking) {
  if (m_asking == asking) return;
  m_asking = asking;
  // A question may hold the event loop: it is said at once.
  if (!m_slot.empty()) publish();
}

void DownloadJob::publish() {
  std::int64_t now = m_clock.ms();
  std::int64_t done = m_s.bytesDone();
  if (m_rateDone >= 0 && now > m_rateTick && done >= m_rateDone) m_rate = (done - m_rateDone) * 1000 / (now - m_rateTick);
  m_rateDone = done;
  m_rateTick = now;
  if (m_slot.empty()) return;  // the rate is for the window too; there is no entry to tell
  LiveState l = snapshot();
  if (l == m_published) return;
  // A store busy for now takes it at the next tick.
  if (QueueEntry::publish(m_slot, std::nullopt, l)) m_published = l;
}

void DownloadJob::followLimits() {
  std::pair<std::int64_t, std::int64_t> speeds{ConfigInt(kMaxSpeed), ConfigInt(kTotalMaxSpeed)};
  if (speeds == m_speeds) return;
  m_speeds = speeds;
  // The download's own limit draws from the user's total as well.
  auto [maxSpeed, totalSpeed] = speeds;
  std::shared_ptr<RateLimit> total = totalSpeed > 0 ? TotalRateLimit(totalSpeed) : nullptr;
  m_limit = maxSpeed > 0 ? std::make_shared<RateLimit>(maxSpeed, total) : total;
  for (auto& c : m_conns) c->t->setLimit(m_limit);
}

void DownloadJob::checkpoint(bool now) {
  // Nothing new: a resume's step back is no loss of the bytes on disk, and is not stored.
  if (m_slot.empty() || streaming() || !m_dirty) return;
  if (!now) {
    // One transaction per 200 ms at most, whatever the number of blocks.
    if (m_saveTimer->active() || m_saveTimer->start(200, [this] { checkpoint(true); }, true)) return;
  }
  m_saveTimer->stop();
  m_dirty = false;
  std::int64_t start = m_s.start();
  CheckpointValues v{start,          pieces::format(pieces::from(m_s.done, start)), m_s.lastModified, m_s.etag,
                     m_s.total,      m_d.m_localPath, m_s.stupidServer};
  // A removed entry, or one another process took, gets nothing. A store busy for now gets
  // it from the timer; one that could not take it otherwise is said once, and tried again
  // with the next bytes (the entry keeps its older, safe values).
  Checkpointed result = checkpointEntry(m_slot, v);
  if (result != Checkpointed::Failed) {
    if (result == Checkpointed::Written) m_entryHasBytes = start > 0 || !v.pieces.empty();
    m_checkpointFailed = false;
    return;
  }
  m_dirty = true;
  if (storeBusy()) {
    m_saveTimer->start(200, [this] { checkpoint(true); }, true);
    return;
  }
  if (!m_checkpointFailed)
    m_events.jobNote(Note::Status, "Cannot save the download's progress in the queue.");
  m_checkpointFailed = true;
}

// ---- the resume point ----

void DownloadJob::startFresh() {
  m_s.done.clear();
  m_s.highWater = m_s.checked = m_s.compareTo = 0;
  m_s.check = {};
  m_s.otherSite = false;
}

void DownloadJob::restore(const QueueEntry& e, std::int64_t rollbackBytes) {
  m_s.lastModified = e.lastModified;
  m_s.etag = e.etag;
  m_s.total = e.total > 0 ? e.total : -1;
  m_s.stupidServer = e.stupidServer;
  m_s.done.clear();
  m_s.compareTo = 0;
  m_s.check = {};
  m_s.otherSite = false;
  // The ranges finished beyond Start, each stepped back as Start is; an entry without
  // them (or with a list that cannot be read) resumes from Start alone.
  Ranges beyond;
  if (m_s.stupidServer != 1 && pieces::parse(e.pieces, beyond))
    m_s.done = pieces::rollback(pieces::from(beyond, e.start), rollbackBytes);
  // A server that does not resume sends the whole file again.
  if (m_s.stupidServer != 1) pieces::add(m_s.done, {0, e.start});
  m_s.highWater = e.start + pieces::bytes(pieces::from(beyond, e.start));
  m_s.checked = 0;
  m_entryHasBytes = e.start > 0 || !e.pieces.empty();
  stepBack(rollbackBytes);
}

bool DownloadJob::clampToFile(std::int64_t rollbackBytes, std::string& why) {
  std::int64_t start = m_s.start();
  if (!ClampToFile(m_d.m_localPath, start, rollbackBytes, why)) return false;
  pieces::remove(m_s.done, {start, m_s.start()});
  // Finished ranges past the file's end are not on disk.
  if (!streaming()) pieces::remove(m_s.done, {std::max<std::int64_t>(FileSize(m_d.m_localPath), 0), kNoEnd});
  return true;
}

void DownloadJob::stepBack(std::int64_t rollbackBytes) {
  // Bytes on standard output cannot be written again.
  if (streaming()) return;
  std::int64_t at = m_s.start();
  std::int64_t from = at <= m_s.checked ? at : std::max(StepBack(at, rollbackBytes), std::min(m_s.checked, at));
  pieces::remove(m_s.done, {from, at});
  m_s.checked = std::max(m_s.checked, at);
  // Still on disk: compared when they come again.
  if (from < at) m_s.compareTo = std::max(m_s.compareTo, at);
}

void DownloadJob::siteChanged() {
  if (m_s.otherSite || streaming() || m_s.bytesDone() == 0) return;
  m_s.otherSite = true;
  // Stepped back even over bytes fetched again at the earlier site: they are the comparison.
  m_s.checked = 0;
  stepBack(RollbackBytes());
}

bool DownloadJob::streaming() const { return m_d.m_localPath == kStandardOutput; }

void DownloadJob::forgetBytes(bool newVersion) {
  // The first connection goes on (its reply may be the file from its start); the others stop.
  for (auto c : std::vector<std::shared_ptr<Conn>>(m_conns))
    if (c != m_firstConn) checkIn(*c);
  m_s.done.clear();
  m_s.checked = m_s.compareTo = 0;
  m_s.check = {};
  m_s.otherSite = false;
  m_pieces = false;
  m_doneAtOpen = 0;
  m_dirty = true;
  if (newVersion) {
    // Another version: its bytes are new, and its validators and length come with its reply.
    m_s.etag.clear();
    m_s.lastModified.clear();
    m_s.total = -1;
    m_s.highWater = 0;
  }
  if (m_firstConn) {
    if (Checkout* co = m_s.checkout(m_firstConn->id)) *co = Checkout{co->conn, {0, kNoEnd}, 0};
    if (m_first->isOpen()) m_first->limitTo(-1);
  }
  // Said before any new byte: a kill in between must not pair old values with new bytes
  // (an entry that names none has none to pair).
  checkpoint(m_entryHasBytes);
}

// ---- connections ----

ConnectionRequest DownloadJob::request(const Download& address, const Route& route) const {
  ConnectionRequest req;
  req.address = address;
  req.route = route;
  req.timeoutSeconds = static_cast<int>(ConfigInt(kTimeout));
  req.ftpPassive = ConfigInt(kFTPPassive) != 0;
  req.limit = m_limit;
  return req;
}

std::string DownloadJob::ifRange() const { return strong(m_s.etag) ? m_s.etag : m_s.lastModified; }

std::shared_ptr<DownloadJob::Conn> DownloadJob::launch(ConnectionRequest req, int site, bool probe, Range range) {
  auto c = std::make_shared<Conn>(*this, m_nextId++, site, probe);
  c->asked = range;
  c->openedMs = m_clock.ms();
  c->t = m_connect(std::move(req), *c, m_file);
  m_conns.push_back(c);
  if (!probe) m_s.out.push_back(Checkout{c->id, range, range.first});
  return c;
}

bool DownloadJob::open(const Route& route, std::string& why) {
  m_waitTimer->stop();
  m_restartNoted = false;
  stopAll();
  m_file.reset();
  m_pieces = false;
  m_wanted = m_firstSiteRoom =
      m_s.oneConnection ? 1 : static_cast<int>(std::clamp<std::int64_t>(ConfigInt(kConnections), 1, kMaxConnections));
  m_doneAtOpen = m_s.bytesDone();
  m_route = route;
  m_sites.assign(m_otherSites.size(), SiteState{Trust::Unknown, m_wanted, std::string(), 0, 0});
  m_firstSite = SiteState{};
  m_speeds = {-1, -1};
  followLimits();
  std::int64_t start = m_s.start();
  std::shared_ptr<CFile> file = OpenOutputFile(m_d.m_localPath, start, why);
  if (!file) return false;
  m_file = std::move(file);
  if (start < m_s.start()) pieces::remove(m_s.done, {start, m_s.start()});
  ConnectionRequest req = request(m_d, route);
  req.first = start;
  req.validator = m_s.lastModified;
  req.ifRange = ifRange();
  req.http10 = m_s.stupidServer == 1;
  // The first connection stops where a finished range begins.
  if (auto next = nextDone(m_s.done, start)) req.end = next->first;
  if (m_s.check.size() > 0) {
    // An earlier range, only compared: it tells a damaged tail from another version.
    req.first = m_s.check.first;
    req.end = req.compareUntil = m_s.check.end;
  } else if (!streaming()) {
    req.compareUntil = std::min(m_s.compareTo, FileSize(m_d.m_localPath));
  }
  bool compares = req.compareUntil > req.first;
  std::int64_t end = req.end >= 0 ? req.end : m_s.total > 0 ? m_s.total : kNoEnd;
  m_firstConn = launch(req, -1, false, {req.first, end});
  m_firstConn->first = true;
  m_firstConn->compares = compares;
  m_first = m_firstConn->t;
  m_s.phase = Phase::Connecting;
  // Once a second; at once only over an earlier copy's state standing in the entry (a
  // download done within its first second writes no state of its own).
  if (!m_publishTimer->active() && m_publishTimer->start(1000, [this] {
        followLimits();
        publish();
      })) {
    if (!m_slot.empty() && !QueueEntry::readText(m_slot, QueueValue::Phase).empty()) {
      publish();
    } else {
      // The rate's first sample, so that the first state published has it.
      m_rateDone = m_s.bytesDone();
      m_rateTick = m_clock.ms();
    }
  }
  ConnectionResult failed;
  if (!m_first->start(failed)) {
    if (failed.what == Outcome::SocketFailed) {
      checkIn(*m_firstConn);
      deliver(failed);
    } else {
      onOutcome(*m_firstConn, failed);
    }
  }
  return true;
}

void DownloadJob::retireLater() {
  m_retireTimer->defer([this] { m_retired.clear(); });
}

void DownloadJob::checkIn(Conn& c) {
  c.t->close();
  // What it brought in its time measures its site.
  if (const Checkout* co = m_s.checkout(c.id); co && c.gotBytes) {
    SiteState& st = c.site < 0 ? m_firstSite : site(c.site);
    st.bytes += co->pos - co->range.first;
    st.ms += std::max<std::int64_t>(m_clock.ms() - c.openedMs, 1);
  }
  std::erase_if(m_s.out, [&](const Checkout& co) { return co.conn == c.id; });
  auto it = std::find_if(m_conns.begin(), m_conns.end(), [&](const auto& p) { return p.get() == &c; });
  if (it == m_conns.end()) return;
  // The connection is let go of from the event loop: its handler may still be running.
  m_retired.push_back(*it);
  m_conns.erase(it);
  retireLater();
}

void DownloadJob::stopAll() {
  while (!m_conns.empty()) checkIn(*m_conns.back());
}

void DownloadJob::stop() {
  m_waitTimer->stop();
  m_fillTimer->stop();
  // Outcomes not yet told belong to what stopped: a paused download never reopens by itself.
  m_deliverTimer->stop();
  m_pending.clear();
  ++m_stops;
  m_rampTimer->stop();
  m_judgeRamp = false;
  stopAll();
  // The file closes with its last connection.
  m_file.reset();
  if (m_s.phase == Phase::Finished) return;
  // What is on disk is where the next connection starts counting.
  m_doneAtOpen = m_s.bytesDone();
  checkpoint(true);
  // A failure stays said until the next open.
  if (m_s.phase != Phase::Failed) m_s.phase = Phase::Paused;
}

bool DownloadJob::newLogin(const std::string& user, const std::string& password) {
  m_d.m_user = user;
  m_d.m_password = password;
  if (m_first && m_first->isOpen() && m_first->newLogin(user, password)) {
    m_s.phase = Phase::Connecting;
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
    m_d.m_loginAsked = false;
    m_d.m_options.dropCredentials(m_d.m_server != was.m_server, was.m_secure && !m_d.m_secure);
  }
}

DownloadJob::Conn* DownloadJob::find(int id) {
  for (auto& c : m_conns)
    if (c->id == id) return c.get();
  return nullptr;
}

int DownloadJob::connections() const {
  int n = 0;
  for (const auto& c : m_conns) n += c->t->isOpen() ? 1 : 0;
  return n;
}

std::vector<Range> DownloadJob::running() const {
  std::vector<Range> busy;
  for (const auto& co : m_s.out) {
    std::int64_t end = co.range.end == kNoEnd ? std::max<std::int64_t>(m_s.total, co.pos) : co.range.end;
    busy.push_back({co.pos, std::max(co.pos, end)});
  }
  return busy;
}

// ---- what a connection reports ----

void DownloadJob::onNote(Conn& c, Note what, const std::string& text) {
  if (!c.first) {
    if (what != Note::Log) return;
    // Titled with the range it asks.
    if (c.log->empty())
      *c.log = Format("\r\n----Connection for bytes %lld-%lld%s----\r\n", static_cast<long long>(c.asked.first),
                      static_cast<long long>(c.asked.end - 1), c.from.c_str());
    *c.log += text;
    return;
  }
  switch (what) {
    case Note::Log: m_headers += text; return;
    case Note::NoResume: {
      // Standard output cannot start over: the reply's first byte is checked at its header.
      if (streaming()) break;
      // A whole file in answer to a range: this server gives no ranges for the rest of the
      // download, and the bytes on disk are overwritten from the start.
      const Checkout* co = m_s.checkout(c.id);
      if (co && co->range.first > 0) m_s.oneConnection = true;
      bool hadBytes = m_s.bytesDone() > 0;
      forgetBytes(false);
      // A server without ranges, or a file that changed: its reply's header tells.
      if (hadBytes) {
        m_restartNoted = true;
        return;
      }
      break;
    }
    case Note::Receiving: m_s.phase = Phase::Receiving; break;
    case Note::Status:
    case Note::Renamed: break;
  }
  m_events.jobNote(what, text);
}

bool DownloadJob::sameVersion(const ReplyFacts& facts) const {
  // Another length is another file, with validators or without.
  if (m_s.total > 0 && facts.total > 0 && facts.total != m_s.total) return false;
  if (!m_s.etag.empty() && !facts.etag.empty() && facts.etag != m_s.etag) return false;
  return m_s.lastModified.empty() || facts.validator.empty() || facts.validator == m_s.lastModified;
}

Range DownloadJob::earlierRange() const {
  // Before the bytes compared (the resume point the first connection started from), half
  // way to it: a damaged tail does not reach that far back.
  std::int64_t from = m_firstConn ? m_firstConn->asked.first : 0;
  std::int64_t at = std::min(m_s.start(), from > 0 ? from : m_s.start());
  std::int64_t first = at / 2;
  std::int64_t n = std::min(kCheckBytes, at - first);
  if (first >= at || n <= 0) return {};
  return {first, first + n};
}

bool DownloadJob::tied(const ReplyFacts& facts) const {
  if (facts.total != m_s.total) return false;
  if (m_checksumGiven) return true;
  // Where both give a strong ETag it decides; else the date, with the length.
  if (strong(facts.etag) && strong(m_s.etag)) return facts.etag == m_s.etag;
  return !facts.validator.empty() && facts.validator == m_s.lastModified;
}

bool DownloadJob::onReply(Conn& c, const ReplyFacts& facts) {
  if (c.first) return firstReply(facts);
  if (c.probe) {
    // Another site joins the pieces only when it is tied to the first one; one that shows
    // another file drops out, one that cannot be told is left to the mirror list alone.
    bool differs = facts.total != m_s.total || !sameVersion(facts);
    SiteState& st = site(c.site);
    st.trust = tied(facts) ? Trust::Joined : differs ? Trust::Dropped : Trust::Alone;
    // Its pieces are asked on the validator it shares.
    st.ifRange = strong(facts.etag) && facts.etag == m_s.etag ? m_s.etag
                 : facts.validator == m_s.lastModified    ? m_s.lastModified
                                                          : std::string();
    return true;
  }
  // Bytes of two versions of the file are never mixed.
  if (c.site < 0 ? !sameVersion(facts) : facts.total != m_s.total) return false;
  c.answered = true;
  if (!c.race) takeOver(c);
  return true;
}

bool DownloadJob::firstReply(const ReplyFacts& facts) {
  m_redirectCount = 0;
  if (streaming() && facts.first != m_s.start()) {
    m_s.endReason = kCannotTakeBack;
    return false;
  }
  // The bytes on disk (from byte 0 or in finished pieces) belong to the version they came with.
  if (m_s.bytesDone() > 0 && !sameVersion(facts)) return false;
  if (m_restartNoted) {
    // A whole file for a resume: said as a change when its validators or length differ.
    m_restartNoted = false;
    m_events.jobNote(Note::NoResume, sameVersion(facts) ? std::string() : kChangedOnServer);
  }
  // An earlier range only compared: nothing of its reply is kept.
  if (m_s.check.size() > 0) return true;
  // Another site's bytes go on only under a reply tied to them, or one whose bytes fetched
  // again are compared with them.
  if (m_s.otherSite && m_s.bytesDone() > 0 && !tied(facts) && !m_firstConn->compares) return false;
  m_s.otherSite = false;
  m_serverDigest = facts.digest;
  if (m_nameFromServer && !facts.fileName.empty() && m_s.bytesDone() == 0 && !streaming())
    takeServerName(facts.fileName);
  std::int64_t total = facts.total > 0 ? facts.total : facts.length >= 0 ? facts.first + facts.length : -1;
  bool stamped = false;
  if (total >= 0 && total != m_s.total) stamped = true;
  if (!facts.etag.empty() && facts.etag != m_s.etag) m_s.etag = facts.etag, stamped = true;
  if (!facts.validator.empty() && facts.validator != m_s.lastModified) m_s.lastModified = facts.validator, stamped = true;
  if (total >= 0) m_s.total = total;
  // The stamp of the bytes about to come, with the point they start from: at once over bytes
  // the entry names, else with the first of the new ones.
  if (stamped) {
    m_dirty = true;
    checkpoint(m_entryHasBytes);
  }
  Checkout* co = m_s.checkout(m_firstConn->id);
  bool wholeRest = facts.length >= 0 && facts.total > 0 && facts.first + facts.length == facts.total;
  bool ahead = nextDone(m_s.done, facts.first).has_value();
  // A pipe takes its bytes in order: standard output is fetched on one connection.
  if (!m_s.oneConnection && (m_wanted > 1 || ahead) && facts.ranges && wholeRest && !streaming()) {
    if (co && co->range.end == kNoEnd) co->range.end = facts.total;
    if (startPieces(facts.total)) return true;
    // The disk cannot hold the file: said now, before the download.
    ConnectionResult r{Outcome::WriteFailed, errno, std::strerror(errno), Answerer::Local, -1};
    m_first->close();
    onOutcome(*m_firstConn, r);
    return true;
  }
  if (ahead) {
    // Pieces cannot be had from this reply: the connection fetches everything past its start.
    pieces::remove(m_s.done, {facts.first, kNoEnd});
    m_first->limitTo(-1);
    if (co) co->range.end = total > 0 ? total : kNoEnd;
  }
  return true;
}

void DownloadJob::takeServerName(const std::string& name) {
  std::string why;
  // Named by the rule every download's file is named by: no queued download's name either.
  std::string renamed = RenameNewFile(m_d.m_localPath, serverFileName(name), why, heldByQueue(m_slot));
  if (renamed.empty()) return;
  m_d.m_localPath = renamed;
  m_dirty = true;
  checkpoint(true);
  m_events.jobNote(Note::Renamed, renamed);
}

void DownloadJob::onWrote(Conn& c, std::int64_t offset, std::int64_t n) {
  m_s.phase = Phase::Receiving;
  pieces::add(m_s.done, {offset, offset + n});
  if (Checkout* co = m_s.checkout(c.id)) co->pos = offset + n;
  // The bytes fetched again are all compared.
  if (c.first && m_s.check.size() == 0 && offset + n >= m_s.compareTo) m_s.compareTo = 0;
  if (!c.gotBytes) {
    c.gotBytes = true;
    // At the end of a download, the first byte wins the race for a range.
    if (c.race) takeOver(c);
    judgeRamp();
  }
  if (m_conns.size() > 1) dropRedundant();
  m_dirty = true;
  checkpoint(false);
  m_events.jobWrote();
}

void DownloadJob::takeOver(Conn& c) {
  Conn* owner = c.cutFrom >= 0 ? find(c.cutFrom) : nullptr;
  c.cutFrom = -1;
  if (!owner || !owner->t->isOpen()) return;
  Checkout* oc = m_s.checkout(owner->id);
  std::int64_t cut = c.asked.first;
  if (oc && oc->pos <= cut) {
    owner->t->limitTo(cut);
    return;
  }
  if (c.race) {
    // The racer came first: the other stops where it is, its bytes kept.
    checkIn(*owner);
    return;
  }
  // The owner got past the cut while this one waited for its reply: it keeps its range.
  if (oc) oc->range.end = std::max(oc->range.end, c.asked.end);
  checkIn(c);
  m_fillTimer->defer([this] { fill(); });
}

void DownloadJob::dropRedundant() {
  // A connection whose bytes to come are all in (another one raced it) has nothing to add.
  std::vector<Conn*> idle;
  for (auto& c : m_conns) {
    const Checkout* co = m_s.checkout(c->id);
    if (co && c->t->isOpen() && pieces::covers(m_s.done, {co->pos, c->stop(m_s.total)})) idle.push_back(c.get());
  }
  for (Conn* c : idle) {
    if (c == m_firstConn.get() && !m_pieces) continue;
    checkIn(*c);
  }
  if (!idle.empty()) m_fillTimer->defer([this] { fill(); });
}

void DownloadJob::onOutcome(Conn& c, const ConnectionResult& r) {
  if (c.first) {
    firstOutcome(r);
    return;
  }
  if (!find(c.id)) return;
  Conn* owner = c.cutFrom >= 0 ? find(c.cutFrom) : nullptr;
  std::int64_t left = m_s.checkout(c.id) ? m_s.checkout(c.id)->pos : c.asked.first;
  checkIn(c);
  judgeRamp();
  bool ended = r.what == Outcome::PieceDone || r.what == Outcome::Finished;
  // Failed before bringing a meaningful amount: an attempt without progress.
  bool fruitless = !ended && left - c.asked.first < kProgressBytes;
  // The range it was to take never left its owner: it is the owner's again.
  if (owner && !ended)
    if (Checkout* oc = m_s.checkout(owner->id); oc && oc->range.end == c.asked.first) oc->range.end = c.asked.end;
  // "No more connections" (HTTP 429, 503; FTP 421, 530 to one more login), before a byte.
  bool busy = r.code == 429 || r.code == 503 || r.code == 421 || r.code == 530;
  bool refused = !c.gotBytes && r.what == Outcome::PieceRefused && busy;
  // A whole file (or another part) in answer to a range: no more ranges from this server.
  bool noRanges = !c.gotBytes && r.what == Outcome::PieceRefused && (r.code == 200 || r.code == 206);
  if (c.site >= 0 && !c.probe && refused && site(c.site).room > 1) {
    --site(c.site).room;
  } else if (c.site >= 0 && r.what != Outcome::WriteFailed && (!ended || site(c.site).trust == Trust::Probing)) {
    // Another site that fails, or shows another file, drops out; the others carry on.
    site(c.site).trust = Trust::Dropped;
  } else if (r.what == Outcome::FileChanged || r.what == Outcome::WriteFailed) {
    // The file changed (fetched again from its start) or the disk refused: the whole
    // download stops as when its first connection says so. Connections that disagree on
    // the version (servers behind one name, say) cannot share the file: one goes on.
    stopAll();
    m_pieces = false;
    if (r.what == Outcome::FileChanged) m_s.oneConnection = true;
    firstOutcome(r);
    return;
  } else if (noRanges) {
    m_s.oneConnection = true;
    m_wanted = 1;
  } else if (fruitless) {
    // Refused, or lost before it brought much: one connection fewer to this site, not tried
    // again at once; none once none is left (the first connection has its own tries).
    m_firstSiteRoom = std::max(0, m_firstSiteRoom - 1);
  }
  if (!ended && !c.probe) {
    // What it left goes back to the first connection when that stops where it begins (its
    // request has no end), else to whoever takes the next piece.
    Checkout* fc = m_firstConn ? m_s.checkout(m_firstConn->id) : nullptr;
    bool firstOpen = fc && m_first->isOpen();
    if (firstOpen && c.answered && m_first->end() == left && fc->range.end == left) {
      m_first->limitTo(c.asked.end);
      fc->range.end = c.asked.end;
    }
    // The last one running: no further connection is tried in its place. A server that
    // refused one more may not yet count the first connection's end: a moment for that.
    if (fruitless && !firstOpen && connections() == 0 && c.site < 0) {
      auto later = [this] {
        if (connections() == 0) handBack();
      };
      if (!refused || !m_fillTimer->start(kSettleMs, later, true)) handBack();
      return;
    }
  }
  checkpoint(false);
  m_fillTimer->defer([this] { fill(); });
}

void DownloadJob::firstOutcome(const ConnectionResult& r) {
  // Standard output cannot start over once a byte is out.
  bool startsOver = r.what == Outcome::NoRange || r.what == Outcome::Restart || r.what == Outcome::FileChanged;
  if (startsOver && streaming() && m_s.bytesDone() > 0) {
    stopAll();
    if (m_s.endReason.empty()) m_s.endReason = r.what == Outcome::FileChanged ? kChangedUnderOutput : kCannotTakeBack;
    deliver(Outcome::GaveUp, m_s.endReason);
    return;
  }
  bool checking = m_s.check.size() > 0;
  if (r.what == Outcome::Mismatch && !checking) {
    // The bytes fetched again differ: another version, or a tail damaged on disk. An earlier
    // range compared as well tells which; with none, the file is fetched again.
    stopAll();
    m_pieces = false;
    m_s.check = earlierRange();
    if (m_s.check.size() > 0) {
      m_s.phase = Phase::Connecting;
      deliver(Outcome::Reconnect);
      return;
    }
  } else if (checking && (r.what == Outcome::PieceDone || r.what == Outcome::Finished)) {
    // The earlier bytes are the server's: only the tail on disk was damaged, and is written again.
    stopAll();
    m_pieces = false;
    m_s.check = {};
    m_s.compareTo = 0;
    m_s.phase = Phase::Connecting;
    deliver(Outcome::Reconnect);
    return;
  }
  if (m_pieces && (r.what == Outcome::Finished || r.what == Outcome::PieceDone)) {
    // The first connection's range is in; the others go on and take what is left.
    if (m_firstConn) checkIn(*m_firstConn);
    if (!complete()) m_fillTimer->defer([this] { fill(); });
    return;
  }
  switch (r.what) {
    case Outcome::FtpLoginRefused:
      m_s.phase = Phase::Asking;
      deliver(r);
      return;
    case Outcome::Finished:
      // The session's end removes the entry: what the job would write now goes with it.
      stopAll();
      m_s.phase = Phase::Finished;
      deliver(r);
      return;
    case Outcome::Redirected:
      stopAll();
      if (++m_redirectCount > kMaxRedirects) {
        deliver(Outcome::TooManyRedirects);
        return;
      }
      m_beforeRedirect = m_d;
      m_d.m_url = r.text;
      // The file is let go of with its connections: the session checks it again for the new address.
      m_file.reset();
      deliver(r);
      return;
    case Outcome::NoRange:
      // Only the origin's answer says that it cannot resume; it is kept for later resumes.
      stopAll();
      if (r.who == Answerer::Origin) {
        m_s.stupidServer = 1;
        m_s.oneConnection = true;
        m_dirty = true;
        checkpoint(true);
        m_events.jobNote(Note::NoResume, std::string());
      }
      deliver(Outcome::Reconnect);
      return;
    case Outcome::Restart:
    case Outcome::FileChanged:
    case Outcome::Mismatch: {
      // The file is fetched again from its start; the entry says so before any new byte.
      bool changed = r.what != Outcome::Restart;
      forgetBytes(changed);
      m_events.jobNote(Note::NoResume, changed ? kChangedOnServer : std::string());
      deliver(Outcome::Reconnect);
      return;
    }
    default: break;
  }
  if (isTemporary(r) && ConfigInt(kRetries) > 0) {
    tryAgain(r);
    return;
  }
  stopAll();
  deliver(r);
}

bool DownloadJob::progressed(std::int64_t reached) const {
  return reached - m_s.highWater >= std::max(kProgressBytes, RollbackBytes() + 1);
}

void DownloadJob::tryAgain(const ConnectionResult& r) {
  std::int64_t reached = m_s.bytesDone();
  stop();
  std::string why = failureReason(r);
  if (progressed(reached)) {
    // It got well past every attempt before: the count starts again. Fewer bytes leave the
    // mark where it is, so that attempts bringing a few bytes each add up to progress.
    m_s.highWater = reached;
    m_s.fruitless = 0;
  } else if (m_mirrorList) {
    // The next site comes before this one again; whole rounds of the list are counted.
    deliver(Outcome::NextSite, why);
    return;
  } else if (usedUp(why)) {
    // With the last failure's code: its cause is the download's.
    deliver(ConnectionResult{Outcome::GaveUp, r.code, m_s.endReason, r.who, -1});
    return;
  }
  // From a little before its last bytes, as a Resume would; after the wait, which always
  // applies: a server that breaks at once is never asked again at once.
  stepBack(RollbackBytes());
  wait(retryWaitSeconds(m_s.fruitless, r.retryAfter), why);
}

bool DownloadJob::usedUp(const std::string& why) {
  if (++m_s.fruitless < ConfigInt(kRetries)) return false;
  m_s.endReason = Format("Gave up after %d attempt%s without data: %s", m_s.fruitless, m_s.fruitless == 1 ? "" : "s",
                         why.c_str());
  return true;
}

bool DownloadJob::waitForNextRound(const std::string& why) {
  if (ConfigInt(kRetries) <= 0 || usedUp(why)) return false;
  wait(retryWaitSeconds(m_s.fruitless, -1), why);
  return true;
}

void DownloadJob::wait(int seconds, const std::string& why) {
  m_s.phase = Phase::Waiting;
  m_waitLeft = seconds;
  m_waitUntil = m_clock.seconds() + seconds;
  m_waitWhy = why;
  auto tick = [this] {
    if (m_waitLeft <= 0) {
      m_waitTimer->stop();
      m_s.phase = Phase::Connecting;
      m_events.jobRetry();
      return;
    }
    m_events.jobWaiting(m_waitLeft--, m_waitWhy);
  };
  // The first second is shown at once; without timers nobody waits.
  if (!m_waitTimer->start(1000, tick)) {
    m_waitTimer->defer([this] { m_events.jobRetry(); });
    return;
  }
  m_waitTimer->defer([this, tick] {
    tick();
    if (m_s.phase == Phase::Waiting) m_waitTimer->start(1000, tick);
  });
}

void DownloadJob::deliver(const ConnectionResult& r) {
  m_pending.push_back(r);
  m_deliverTimer->defer([this] {
    auto pending = std::move(m_pending);
    m_pending.clear();
    // One that stops the job (a pause, a reopen) leaves the rest untold.
    for (std::uint64_t stops = m_stops; const auto& p : pending)
      if (stops == m_stops) m_events.jobOutcome(p);
  });
}

void DownloadJob::deliver(Outcome what, const std::string& text) {
  ConnectionResult r;
  r.what = what;
  r.text = text;
  deliver(r);
}

// ---- pieces ----

bool DownloadJob::startPieces(std::int64_t total) {
  pieces::remove(m_s.done, {total, kNoEnd});
  std::int64_t start = m_s.start();
  // Small files go on one connection.
  if (!nextDone(m_s.done, start) && total - start < 2 * pieces::kMinPiece) return true;
  if (!m_file->Reserve(total)) return false;
  m_pieces = true;
  m_s.total = total;
  // The first connection is measured alone for a moment: more connections only when what
  // is left would take it longer than a second at its rate (a fast server gets no more
  // connections than it needs; a small file comes whole before they could start). Then
  // they stay only if they made the download faster.
  sampleRate(kFirstSampleMs, [this](double alone) {
    std::int64_t left = m_s.total - m_s.bytesDone();
    if (static_cast<double>(left) <= alone) return;
    m_rateAlone = alone;
    m_judgeRamp = true;
    fill();
    judgeRamp();
  });
  return true;
}

void DownloadJob::sampleRate(int ms, std::function<void(double)> then) {
  // The first moments of a connection are left out: many servers send a burst first.
  auto later = [this, ms, then = std::move(then)] {
    auto measured = [this, then, before = m_s.bytesDone(), since = m_clock.ms()] {
      double seconds = static_cast<double>(std::max<std::int64_t>(m_clock.ms() - since, 1)) / 1000.0;
      then(static_cast<double>(m_s.bytesDone() - before) / seconds);
    };
    m_rampTimer->start(ms, measured, true);
  };
  m_rampTimer->start(ms, later, true);
}

void DownloadJob::judgeRamp() {
  // Once every further connection has brought its first bytes (a far server takes a while).
  if (!m_judgeRamp) return;
  for (const auto& c : m_conns)
    if (!c->first && !c->probe && !c->gotBytes) return;
  m_judgeRamp = false;
  sampleRate(kJudgeSampleMs, [this](double together) {
    // The server or the line gives no more to more connections: none replaces one that ends.
    // A sample without a byte says nothing (a server that sends once a second).
    if (together > 0 && together < m_rateAlone * 5 / 4) m_wanted = 1;
  });
}

void DownloadJob::fill() {
  if (!m_pieces || m_s.phase == Phase::Paused || m_s.phase == Phase::Finished || m_s.phase == Phase::Waiting ||
      m_s.phase == Phase::Asking || m_s.phase == Phase::Failed || complete())
    return;
  while (connections() < m_wanted && !m_s.oneConnection) {
    std::vector<Range> busy = running();
    std::vector<std::int64_t> got;
    for (const auto& co : m_s.out) got.push_back(co.pos - co.range.first);
    Ranges taken = m_s.done;
    for (const Range& b : busy) pieces::add(taken, b);
    auto claim = pieces::claim(pieces::missing(taken, m_s.total), busy, got);
    std::optional<int> next = nextSite();
    if (!claim || !next) break;
    int s = *next;
    // A connection that cannot even start has ended as one that failed: what follows
    // comes from the event loop, never again within this call.
    if (s >= 0 && site(s).trust == Trust::Unknown) {
      // A site is asked for pieces only once it has shown the same file.
      if (!openHelper({0, 1}, s, true)) return;
      continue;
    }
    int owner = claim->from >= 0 ? m_s.out[static_cast<std::size_t>(claim->from)].conn : -1;
    if (!openHelper(claim->piece, s, false, owner)) return;
  }
  // A site asked its first byte holds the next piece a moment, no longer: one that does not
  // answer soon is passed over. Meanwhile nothing is raced: the end has not come, the
  // pieces are only waiting for their site.
  int ms = probeWaitMs(-1);
  if (ms == 0)
    while (endGame()) {
    }
  if (connections() == 0)
    handBack();
  else if (ms > 0 && !m_fillTimer->active())
    m_fillTimer->start(ms, [this] { fill(); }, true);
}

double DownloadJob::rateOf(const Conn& c) const {
  const Checkout* co = m_s.checkout(c.id);
  if (!co) return 0;
  double seconds = static_cast<double>(std::max<std::int64_t>(m_clock.ms() - c.openedMs, 1)) / 1000.0;
  return static_cast<double>(co->pos - co->range.first) / seconds;
}

bool DownloadJob::endGame() {
  // Only when every missing byte is lent, and a connection is free for it.
  if (m_s.oneConnection || connections() >= std::max(m_wanted, 2)) return false;
  Ranges taken = m_s.done;
  for (const Range& b : running()) pieces::add(taken, b);
  if (!pieces::missing(taken, m_s.total).empty()) return false;
  std::optional<int> s = nextSite(true);
  if (!s) return false;
  // The slowest range: the one that would take longest at its connection's rate.
  Conn* slowest = nullptr;
  double longest = 1.0;  // seconds: a range about to end is left to its connection
  for (auto& c : m_conns) {
    const Checkout* co = m_s.checkout(c->id);
    if (!co || !c->t->isOpen() || co->range.end == kNoEnd || co->range.end <= co->pos) continue;
    // A racer is not raced, nor is a range already raced, nor one whose connection has
    // not had the time to show its rate.
    bool raced = std::any_of(m_conns.begin(), m_conns.end(), [&](const auto& o) { return o->cutFrom == c->id; });
    if (raced || c->race || (!c->gotBytes && m_clock.ms() - c->openedMs < 2000)) continue;
    double seconds = static_cast<double>(co->range.end - co->pos) / std::max(rateOf(*c), 1.0);
    if (seconds > longest) longest = seconds, slowest = c.get();
  }
  if (!slowest) return false;
  Checkout* co = m_s.checkout(slowest->id);
  std::int64_t left = co->range.end - co->pos;
  std::int64_t cut = left >= 2 * kMinRace ? co->pos + left / 2 : co->pos;
  return openHelper({cut, co->range.end}, *s, false, slowest->id, true);
}

void DownloadJob::handBack() {
  // Nothing runs and bytes are missing: the first connection takes over again, with its
  // own tries and waits.
  m_pieces = false;
  stop();
  m_s.phase = Phase::Connecting;
  deliver(Outcome::Reconnect);
}

double DownloadJob::siteRate(int s, bool& measured) const {
  // Per connection: what its ended connections brought in their time, or a running one's
  // rate since it opened, whichever is higher. The first site's was sampled before any
  // piece was lent: one that brought nothing by then is measured slow, not unknown.
  const SiteState& st = s < 0 ? m_firstSite : m_sites[static_cast<std::size_t>(s)];
  measured = st.ms > 0;
  double rate = measured ? static_cast<double>(st.bytes) * 1000.0 / static_cast<double>(st.ms) : 0;
  for (const auto& c : m_conns)
    if (c->site == s && (c->gotBytes || s < 0) && c->t->isOpen()) {
      measured = true;
      rate = std::max(rate, rateOf(*c));
    }
  return rate;
}

std::optional<int> DownloadJob::nextSite(bool fastest) const {
  std::vector<int> running(m_otherSites.size() + 1, 0);
  for (const auto& c : m_conns)
    if (c->t->isOpen()) ++running[static_cast<std::size_t>(c->site + 1)];
  // By measured speed, never by the list's order: a site not yet measured is tried first
  // (the one with fewest running), then the fastest. A site being asked its first byte is
  // waited for a moment rather than more given to a measured one. The end game's racer goes
  // to the fastest site measured.
  struct Choice {
    int site;
    bool measured;
    double rate;
    bool asked = false;
  };
  std::optional<Choice> best;
  auto consider = [&](int s, bool asked = false) {
    Choice c{s, false, 0, asked};
    c.rate = siteRate(s, c.measured);
    if (fastest && !c.measured) c.measured = true;  // an unknown speed is no reason to race
    bool better = !best || (best->measured && !c.measured) ||
                  (!best->measured && !c.measured && running[static_cast<std::size_t>(s + 1)] <
                                                         running[static_cast<std::size_t>(best->site + 1)]) ||
                  (best->measured && c.measured && c.rate > best->rate);
    if (better) best = c;
  };
  if (running[0] < m_firstSiteRoom) consider(-1);
  for (int i = 0; i < static_cast<int>(m_otherSites.size()); ++i) {
    const SiteState& st = m_sites[static_cast<std::size_t>(i)];
    bool usable = fastest ? st.trust == Trust::Joined : st.trust == Trust::Unknown || st.trust == Trust::Joined;
    if (usable && running[static_cast<std::size_t>(i + 1)] < st.room) consider(i);
    if (!fastest && st.trust == Trust::Probing && probeWaitMs(i) > 0) consider(i, true);
  }
  if (!best || best->asked) return std::nullopt;
  return best->site;
}

int DownloadJob::probeWaitMs(int s) const {
  int wait = 0;
  for (const auto& c : m_conns)
    if (c->probe && c->t->isOpen() && (s < 0 || c->site == s))
      wait = std::max<int>(wait, static_cast<int>(std::max<std::int64_t>(kProbeWaitMs - (m_clock.ms() - c->openedMs), 0)));
  return wait;
}

bool DownloadJob::openHelper(Range piece, int s, bool probe, int cutFrom, bool race) {
  const Site* other = s >= 0 ? &m_otherSites[static_cast<std::size_t>(s)] : nullptr;
  ConnectionRequest req = other ? request(other->address, other->route) : request(m_d, m_route);
  req.first = piece.first;
  req.end = piece.end;
  req.piece = true;
  req.probe = probe;
  // A probe's reply is compared whole: a condition could only hide it.
  req.ifRange = probe ? std::string() : other ? site(s).ifRange : ifRange();
  req.total = m_s.total;
  if (probe) site(s).trust = Trust::Probing;
  // The range is planned as the new connection's at once; the owner's connection is told
  // to stop only when the new one has been answered with exactly its part.
  if (cutFrom >= 0)
    if (Checkout* oc = m_s.checkout(cutFrom)) oc->range.end = piece.first;
  auto c = launch(std::move(req), s, probe, piece);
  c->cutFrom = cutFrom;
  c->race = race;
  if (other) {
    const Download& a = other->address;
    c->from = " from " + a.m_server;
    if (a.m_port != defaultPort(a.m_service, a.m_secure)) c->from += ":" + std::to_string(a.m_port);
  }
  m_pieceLogs.push_back(c->log);
  ConnectionResult failed;
  if (c->t->start(failed)) return true;
  // An attempt like any other: one connection fewer to this site, or one site fewer, and
  // the first connection's tries and waits once nothing runs.
  onOutcome(*c, failed);
  return false;
}

bool DownloadJob::complete() {
  if (!m_pieces || connections() > 0 || !pieces::missing(m_s.done, m_s.total).empty()) return false;
  // An older, longer file may have left bytes behind the end.
  if (!m_file->TruncateAt(m_s.total)) {
    m_pieces = false;
    ConnectionResult r{Outcome::WriteFailed, errno, std::strerror(errno), Answerer::Local, -1};
    m_file.reset();
    deliver(r);
    return true;
  }
  m_file.reset();
  m_s.phase = Phase::Finished;
  ConnectionResult r;
  r.what = Outcome::Finished;
  r.who = Answerer::Origin;
  deliver(r);
  return true;
}
