#include "engine/job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "engine/retry.h"
#include "platform/file.h"
#include "platform/services.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "transfer/url.h"

// A further connection: what it reports goes to the job with the piece it fetches.
struct DownloadJob::Helper : ConnectionEvents {
  Helper(DownloadJob& j, Range p, int s, bool pr) : job(j), piece(p), pos(p.first), site(s), probe(pr) {}
  DownloadJob& job;
  Range piece;       // as asked; the connection may be told to stop earlier
  std::int64_t pos;  // where its next byte lands
  int site;          // -1 the first connection's site, else an index of m_otherSites
  bool probe;        // asks a site's first byte only, and writes nothing
  bool gotBytes = false;
  std::shared_ptr<Transfer> t;
  std::shared_ptr<std::string> log = std::make_shared<std::string>();  // its part of the header log
  std::string from;  // " from <server>" when it asks another site
  std::int64_t end() const { return t->end(); }
  void connectionNote(Note what, const std::string& text) override {
    if (what != Note::Log) return;
    // Titled with the range it asks: a split may cut its piece before the request goes out.
    if (log->empty())
      *log = Format("\r\n----Connection for bytes %lld-%lld%s----\r\n", static_cast<long long>(piece.first),
                    static_cast<long long>(end() - 1), from.c_str());
    *log += text;
  }
  bool connectionReply(const ReplyFacts& f) override { return job.helperReply(*this, f); }
  void connectionWrote(std::int64_t offset, std::int64_t n) override { job.helperWrote(*this, offset, n); }
  void connectionOutcome(const ConnectionResult& r) override { job.helperOutcome(*this, r); }
};

namespace {
// A rate is sampled over this long, after as long again to let a first burst pass: the
// first connection's briefly (a long look would delay the others), the others' effect
// longer (new connections of a far server are still speeding up).
constexpr int kFirstSampleMs = 25;
constexpr int kJudgeSampleMs = 100;
// How long a server that refused one more connection is given to count a closed one gone.
constexpr int kSettleMs = 1000;
}  // namespace

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
  for (auto& h : m_helpers) h->t->close();
}

// ---- the resume point ----

void DownloadJob::writeStart() {
  if (m_slot.empty()) return;
  m_startMoved = true;
  if (piecesKept()) {
    // Coalesced as Start alone is: one transaction per 200 ms at most.
    if (!m_saveTimer.active() && !m_saveTimer.start(200, [this] { savePieces(); }, true)) savePieces();
    return;
  }
  QueueEntry::write(m_slot, QueueValue::Start, m_startOffset + m_bytesThisConn);
}

void DownloadJob::savePieces() {
  m_saveTimer.stop();
  if (m_slot.empty()) return;
  Ranges all = finished();
  std::int64_t start = pieces::prefix(all);
  std::string rest = pieces::format(pieces::from(all, start));
  QueueEntry::write(m_slot, {{QueueValue::Start, start}, {QueueValue::Pieces, rest.empty() ? ProfileData() : ProfileData(rest)}});
  m_piecesStored = !rest.empty();
}

LiveState DownloadJob::live() const {
  LiveState l;
  // The bytes on disk: a resume that stepped back has not lost the ones after its start.
  l.done = std::max(m_highWater, reached());
  l.size = m_wholeSize;
  l.phase = m_asking ? "asking" : phaseWord(m_phase);
  l.rate = m_phase == Phase::Receiving ? m_rate : 0;
  l.retryAt = m_phase == Phase::Waiting ? m_waitUntil : 0;
  l.connections = connections();
  return l;
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
  std::int64_t now = static_cast<std::int64_t>(GetTickCount());
  std::int64_t done = reached();
  if (m_rateDone >= 0 && now > m_rateTick && done >= m_rateDone)
    m_rate = (done - m_rateDone) * 1000 / (now - m_rateTick);
  m_rateDone = done;
  m_rateTick = now;
  LiveState l = live();
  if (l == m_published && !m_startMoved) return;
  // The resume point goes with it only when bytes moved it: a resume's step back is no
  // loss of the bytes on disk, and is not stored. In pieces, Start goes with the finished
  // ranges (savePieces), never alone.
  bool withStart = m_startMoved && !piecesKept();
  QueueEntry::publish(m_slot, withStart ? std::optional<std::int64_t>(m_startOffset + m_bytesThisConn) : std::nullopt, l);
  m_published = l;
  m_startMoved = false;
}

ProfileData DownloadJob::stamp() const {
  if (m_lastModified.empty()) return ProfileData{};  // none: the value goes
  return m_lastModified;
}

void DownloadJob::startFresh() {
  m_startOffset = m_bytesThisConn = m_highWater = 0;
  m_done.clear();
}

void DownloadJob::restore(const QueueEntry& e, std::int64_t rollbackBytes) {
  m_lastModified = e.lastModified;
  m_stupidServer = e.stupidServer;
  // A server that does not resume sends the whole file again.
  m_startOffset = m_stupidServer == 1 ? 0 : e.start;
  m_highWater = e.start;
  m_bytesThisConn = 0;
  stepBack(rollbackBytes);
  // The ranges finished beyond Start, each stepped back as Start is; an entry without
  // them (or with a list that cannot be read) resumes from Start alone.
  m_piecesStored = !e.pieces.empty();
  m_done.clear();
  if (m_stupidServer != 1 && pieces::parse(e.pieces, m_done)) m_done = pieces::rollback(pieces::from(m_done, e.start), rollbackBytes);
  m_highWater += pieces::bytes(m_done);
}

bool DownloadJob::clampToFile(std::int64_t rollbackBytes, std::string& why) {
  if (!ClampToFile(m_d.m_localPath, m_startOffset, rollbackBytes, why)) return false;
  // Finished ranges past the file's end are not on disk.
  std::int64_t length = std::max<std::int64_t>(FileSize(m_d.m_localPath), 0);
  Ranges kept;
  for (Range r : m_done)
    if ((r.end = std::min(r.end, length)) > r.first) kept.push_back(r);
  m_done = kept;
  return true;
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
  stopHelpers();
  m_file.reset();
  m_bytesThisConn = 0;
  m_totalSize = 0;
  // The reply tells again whether pieces can be had.
  m_pieces = false;
  m_wanted = m_firstSiteRoom = static_cast<int>(std::clamp<std::int64_t>(ConfigInt(kConnections), 1, kMaxConnections));
  m_doneAtOpen = pieces::bytes(m_done);
  m_pieceBytes = 0;
  m_route = route;
  m_siteStates.assign(m_otherSites.size(), SiteState{Trust::Unknown, std::string(), m_wanted});
  std::int64_t maxSpeed = ConfigInt(kMaxSpeed);
  m_limit = maxSpeed > 0 ? std::make_shared<RateLimit>(maxSpeed) : nullptr;
  m_file = OpenOutputFile(m_d.m_localPath, m_startOffset, why);
  if (!m_file) return false;
  ConnectionRequest req = request(m_d, route);
  req.first = m_startOffset;
  req.validator = m_lastModified;
  req.http10 = m_stupidServer == 1;
  // The first connection stops where a finished range begins.
  for (const Range& r : m_done)
    if (r.first > m_startOffset) {
      req.end = r.first;
      break;
    }
  retire();
  m_transfer = makeTransfer(std::move(req), *this, m_file);
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
  m_retireTimer.defer([this] {
    m_retired.clear();
    m_retiredHelpers.clear();
  });
}

void DownloadJob::stop() {
  m_waitTimer.stop();
  m_fillTimer.stop();
  m_rampTimer.stop();
  m_judgeRamp = false;
  if (m_transfer) m_transfer->close();
  stopHelpers();
  // The file closes with its last connection.
  m_file.reset();
  if (m_phase == Phase::Finished) return;
  noteWholeSize();
  m_startOffset += m_bytesThisConn;
  m_bytesThisConn = 0;
  if (piecesKept()) {
    // The first connection goes on from the first byte missing.
    Ranges all = finished();
    m_startOffset = pieces::prefix(all);
    m_done = pieces::from(all, m_startOffset);
    m_doneAtOpen = pieces::bytes(m_done);
    m_pieceBytes = 0;
    savePieces();
  }
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
      dropPieces();
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
    // Bytes on disk (from byte 0 or in finished pieces) belong to the version they came with.
    if (!m_lastModified.empty() && m_lastModified != facts.validator && (m_startOffset != 0 || !m_done.empty()))
      return false;
    m_lastModified = facts.validator;
    // The stamp of the bytes about to come, with the point they start from.
    if (!m_slot.empty())
      QueueEntry::write(m_slot, {{QueueValue::Start, m_startOffset}, {QueueValue::LastMod, stamp()}});
  }
  std::int64_t total = facts.total;
  bool wholeRest = facts.length >= 0 && total > 0 && facts.first + facts.length == total;
  // A pipe takes its bytes in order: standard output is fetched on one connection.
  if ((m_wanted > 1 || !m_done.empty()) && facts.ranges && wholeRest && !streaming()) {
    if (startPieces(facts, total)) return true;
    // The disk cannot hold the file: said now, before the download.
    ConnectionResult r{Outcome::WriteFailed, errno, std::strerror(errno), Answerer::Local, -1};
    m_transfer->close();
    connectionOutcome(r);
    return true;
  }
  if (!m_done.empty()) {
    // Pieces cannot be had from this reply: the connection fetches everything past its start.
    m_done.clear();
    m_transfer->limitTo(-1);
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
  if (m_pieces && (r.what == Outcome::Finished || r.what == Outcome::PieceDone)) {
    // The first connection's range is in; the others go on and take what is left.
    if (!complete()) m_fillTimer.defer([this] { fill(); });
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
      stopHelpers();
      m_startOffset = m_bytesThisConn = m_highWater = 0;
      m_done.clear();
      m_pieces = m_piecesStored = false;
      if (r.what == Outcome::FileChanged) m_lastModified.clear();
      // All at once: a kill between them must not pair the old stamp with new bytes.
      if (!m_slot.empty())
        QueueEntry::write(m_slot, {{QueueValue::Start, std::int64_t{0}},
                                   {QueueValue::LastMod, stamp()},
                                   {QueueValue::Pieces, ProfileData()}});
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
  std::int64_t reached = this->reached();
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

// ---- pieces ----

std::int64_t DownloadJob::reached() const {
  return m_pieces || !m_done.empty() ? pieces::bytes(finished()) : m_startOffset + m_bytesThisConn;
}

bool DownloadJob::connectionOpen() const { return connections() > 0; }

int DownloadJob::connections() const {
  int n = m_transfer && m_transfer->isOpen() ? 1 : 0;
  for (const auto& h : m_helpers) n += h->t->isOpen() ? 1 : 0;
  return n;
}

Ranges DownloadJob::finished() const {
  Ranges set = m_done;
  pieces::add(set, {0, m_startOffset + m_bytesThisConn});
  for (const auto& h : m_helpers) pieces::add(set, {h->piece.first, h->pos});
  return set;
}

std::vector<Range> DownloadJob::running() const {
  std::vector<Range> busy;
  if (m_transfer && m_transfer->isOpen())
    busy.push_back({m_startOffset + m_bytesThisConn, m_transfer->end() >= 0 ? m_transfer->end() : m_fileLength});
  for (const auto& h : m_helpers)
    if (h->t->isOpen() && !h->probe) busy.push_back({h->pos, h->end()});
  return busy;
}

bool DownloadJob::startPieces(const ReplyFacts& facts, std::int64_t total) {
  m_done = pieces::from(m_done, 0);
  Ranges kept;
  for (Range r : m_done)
    if ((r.end = std::min(r.end, total)) > r.first) kept.push_back(r);
  m_done = kept;
  // Small files go on one connection.
  if (m_done.empty() && total - facts.first < 2 * pieces::kMinPiece) return true;
  if (!m_file->Reserve(total)) return false;
  m_pieces = true;
  m_fileLength = total;
  m_etag = facts.etag;
  // A weak ETag cannot vouch for bytes: the date does, where there is one.
  m_ifRange = !m_etag.empty() && m_etag.rfind("W/", 0) != 0 ? m_etag : facts.validator;
  // The first connection is measured alone for a moment: more connections only when what
  // is left would take it longer than a second at its rate (a fast server gets no more
  // connections than it needs; a small file comes whole before they could start). Then
  // they stay only if they made the download faster.
  sampleRate(kFirstSampleMs, [this](double alone) {
    std::int64_t left = m_fileLength - pieces::bytes(finished());
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
    auto measured = [this, then, before = reached(), since = GetTickCount()] {
      double seconds = std::max<DWORD>(GetTickCount() - since, 1) / 1000.0;
      then(static_cast<double>(reached() - before) / seconds);
    };
    m_rampTimer.start(ms, measured, true);
  };
  m_rampTimer.start(ms, later, true);
}

void DownloadJob::judgeRamp() {
  // Once every further connection has brought its first bytes (a far server takes a while).
  if (!m_judgeRamp) return;
  for (const auto& h : m_helpers)
    if (!h->gotBytes) return;
  m_judgeRamp = false;
  sampleRate(kJudgeSampleMs, [this](double together) {
    // The server or the line gives no more to more connections: none replaces one that ends.
    // A sample without a byte says nothing (a server that sends once a second).
    if (together > 0 && together < m_rateAlone * 5 / 4) m_wanted = 1;
  });
}

void DownloadJob::fill() {
  if (!m_pieces || m_phase == Phase::Paused || m_phase == Phase::Finished || m_phase == Phase::Waiting ||
      m_phase == Phase::Asking || complete())
    return;
  while (connections() < m_wanted) {
    // In the order running() lists them: who fetches each range, and what it has so far.
    std::vector<Transfer*> owners;
    std::vector<std::int64_t> got;
    if (m_transfer && m_transfer->isOpen()) {
      owners.push_back(m_transfer.get());
      got.push_back(m_bytesThisConn);
    }
    for (const auto& h : m_helpers)
      if (h->t->isOpen() && !h->probe) {
        owners.push_back(h->t.get());
        got.push_back(h->pos - h->piece.first);
      }
    std::vector<Range> busy = running();
    Ranges taken = finished();
    for (const Range& b : busy) pieces::add(taken, b);
    auto c = pieces::claim(pieces::missing(taken, m_fileLength), busy, got);
    std::optional<int> next = nextSite();
    if (!c || !next) break;
    int site = *next;
    if (site >= 0 && siteState(site).trust == Trust::Unknown) {
      // A site is asked for pieces only once it has shown the same file.
      openHelper({0, 1}, site, true);
      continue;
    }
    if (c->from >= 0) owners[static_cast<std::size_t>(c->from)]->limitTo(c->piece.first);
    openHelper(c->piece, site);
  }
  if (connections() == 0) handBack();
}

void DownloadJob::handBack() {
  // Nothing runs and bytes are missing: the first connection takes over again, with its
  // own tries and waits.
  m_pieces = false;
  stop();
  m_phase = Phase::Connecting;
  deliver(Outcome::Reconnect);
}

ConnectionRequest DownloadJob::request(const Download& address, const Route& route) const {
  ConnectionRequest req;
  req.address = address;
  req.route = route;
  req.timeoutSeconds = static_cast<int>(ConfigInt(kTimeout));
  req.ftpPassive = ConfigInt(kFTPPassive) != 0;
  req.limit = m_limit;
  return req;
}

std::optional<int> DownloadJob::nextSite() const {
  std::vector<int> running(m_otherSites.size() + 1, 0);
  running[0] = m_transfer && m_transfer->isOpen() ? 1 : 0;
  for (const auto& h : m_helpers)
    if (h->t->isOpen()) ++running[static_cast<std::size_t>(h->site + 1)];
  std::optional<int> best;
  if (running[0] < m_firstSiteRoom) best = -1;
  for (int i = 0; i < static_cast<int>(m_otherSites.size()); ++i) {
    Trust t = m_siteStates[static_cast<std::size_t>(i)].trust;
    int here = running[static_cast<std::size_t>(i + 1)];
    if ((t == Trust::Unknown || t == Trust::Joined) && here < m_siteStates[static_cast<std::size_t>(i)].room &&
        (!best || here < running[static_cast<std::size_t>(*best + 1)]))
      best = i;
  }
  return best;
}

void DownloadJob::openHelper(Range piece, int site, bool probe) {
  const Site* other = site >= 0 ? &m_otherSites[static_cast<std::size_t>(site)] : nullptr;
  ConnectionRequest req = other ? request(other->address, other->route) : request(m_d, m_route);
  req.first = piece.first;
  req.end = piece.end;
  req.piece = true;
  req.probe = probe;
  // A probe's reply is compared whole: a condition could only hide it.
  req.ifRange = !other ? m_ifRange : probe ? std::string() : siteState(site).ifRange;
  req.total = m_fileLength;
  if (probe) siteState(site).trust = Trust::Probing;
  auto h = std::make_shared<Helper>(*this, piece, site, probe);
  h->t = makeTransfer(std::move(req), *h, m_file);
  if (other) {
    const Download& a = other->address;
    h->from = " from " + a.m_server;
    if (a.m_port != defaultPort(a.m_service, a.m_secure)) h->from += ":" + std::to_string(a.m_port);
  }
  m_pieceLogs.push_back(h->log);
  int error = 0, messageId = 0;
  if (!h->t->createSockets(error, messageId) || !h->t->connect(error)) {
    // Counted as a refusal: one connection fewer, or one site fewer.
    h->t->close();
    if (other) siteState(site).trust = Trust::Dropped;
    else m_firstSiteRoom = std::max(1, m_firstSiteRoom - 1);
    m_retiredHelpers.push_back(h);
    m_retireTimer.defer([this] {
      m_retired.clear();
      m_retiredHelpers.clear();
    });
    return;
  }
  m_helpers.push_back(h);
}

bool DownloadJob::helperReply(Helper& h, const ReplyFacts& facts) {
  // Bytes of two versions of the file are never mixed: the ETag tells where both give one,
  // else the date.
  bool etags = !facts.etag.empty() && !m_etag.empty();
  bool dates = !facts.validator.empty() && !m_lastModified.empty();
  bool changed = etags ? facts.etag != m_etag : dates && facts.validator != m_lastModified;
  if (h.site >= 0 && h.probe && !changed) {
    // Another site joins; its pieces are asked on the validator it shares.
    SiteState& state = siteState(h.site);
    state.trust = Trust::Joined;
    state.ifRange = etags && m_etag.rfind("W/", 0) != 0 ? m_etag : dates ? m_lastModified : std::string();
  }
  return !changed;
}

void DownloadJob::helperWrote(Helper& h, std::int64_t offset, std::int64_t n) {
  h.pos = offset + n;
  if (!h.gotBytes) {
    h.gotBytes = true;
    judgeRamp();
  }
  m_pieceBytes += n;
  writeStart();
  m_events.jobWrote();
}

void DownloadJob::stopHelpers() {
  for (auto& h : m_helpers) {
    h->t->close();
    pieces::add(m_done, {h->piece.first, h->pos});
    m_retiredHelpers.push_back(h);
  }
  m_helpers.clear();
  if (!m_retiredHelpers.empty())
    m_retireTimer.defer([this] {
      m_retired.clear();
      m_retiredHelpers.clear();
    });
}

void DownloadJob::helperOutcome(Helper& h, const ConnectionResult& r) {
  auto it = std::find_if(m_helpers.begin(), m_helpers.end(), [&](const auto& p) { return p.get() == &h; });
  if (it == m_helpers.end()) return;
  pieces::add(m_done, {h.piece.first, h.pos});
  m_retiredHelpers.push_back(*it);
  m_helpers.erase(it);
  m_retireTimer.defer([this] {
    m_retired.clear();
    m_retiredHelpers.clear();
  });
  judgeRamp();
  bool ended = r.what == Outcome::PieceDone || r.what == Outcome::Finished;
  // "No more connections" (HTTP 429, 503; FTP 421, 530 to one more login), before a byte.
  bool busy = r.code == 429 || r.code == 503 || r.code == 421 || r.code == 530;
  bool refused = !h.gotBytes && r.what == Outcome::PieceRefused && busy;
  if (h.site >= 0 && !h.probe && refused && siteState(h.site).room > 1) {
    // A joined site that takes no more connections keeps those it has.
    --siteState(h.site).room;
  } else if (h.site >= 0 && r.what != Outcome::WriteFailed &&
             (!ended || siteState(h.site).trust != Trust::Joined)) {
    // Another site that fails, or shows another file, drops out; the others carry on.
    siteState(h.site).trust = Trust::Dropped;
  } else if (r.what == Outcome::FileChanged || r.what == Outcome::WriteFailed) {
    // The file changed (fetched again from its start) or the disk refused: the whole
    // download stops as when its first connection says so.
    if (m_transfer) m_transfer->close();
    stopHelpers();
    m_pieces = false;
    connectionOutcome(r);
    return;
  } else if (!ended && !h.gotBytes) {
    // Refused or lost before a byte: one connection fewer to this site, not tried again
    // at once.
    m_firstSiteRoom = std::max(1, m_firstSiteRoom - 1);
  }
  if (!ended && !h.probe) {
    // What it left goes back to the first connection when that stops where it begins (its
    // request has no end), else to whoever takes the next piece.
    bool firstOpen = m_transfer && m_transfer->isOpen();
    if (firstOpen && m_transfer->end() == h.pos) m_transfer->limitTo(h.end());
    // The last one running: no further connection is tried in its place. A server that
    // refused one more may not yet count the first connection's end: a moment for that.
    if (!h.gotBytes && !firstOpen && m_helpers.empty() && h.site < 0) {
      auto takeOver = [this] {
        if (connections() == 0) handBack();
      };
      if (!refused || !m_fillTimer.start(kSettleMs, takeOver, true)) handBack();
      return;
    }
  }
  writeStart();
  m_fillTimer.defer([this] { fill(); });
}

bool DownloadJob::complete() {
  if (!m_pieces || connections() > 0 || !pieces::missing(finished(), m_fileLength).empty()) return false;
  // An older, longer file may have left bytes behind the end.
  m_file->TruncateAt(m_fileLength);
  m_file.reset();
  m_phase = Phase::Finished;
  savePieces();
  ConnectionResult r;
  r.what = Outcome::Finished;
  r.who = Answerer::Origin;
  deliver(r);
  return true;
}

void DownloadJob::dropPieces() {
  stopHelpers();
  m_done.clear();
  m_pieces = false;
  m_doneAtOpen = m_pieceBytes = 0;
  if (m_transfer) m_transfer->limitTo(-1);
  if (m_piecesStored) savePieces();
}
