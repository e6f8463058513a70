// The download job: the one owner of a download's state (DownloadState: the address, the
// validators, the ranges done and lent to connections, the attempts, the phase and the end
// reason) and the one writer of its checkpoint in the queue entry. Connections never own a
// range: the job lends one to each, takes the bytes they report at their offsets, and takes
// the range back when they end. It decides what follows an outcome: the next connection at
// once, a wait and a new try, or a question for the user, which the session gets from the
// event loop, never inside a socket handler. It has no window; it is built from a clock and a
// connection factory, so a test drives it with fake ones.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/pieces.h"
#include "engine/state.h"
#include "queue/queue_entry.h"
#include "transfer/transfer.h"

// What the job tells whoever shows it (the session window).
class JobEvents {
 public:
  virtual ~JobEvents() = default;
  // Status (the top line), NoResume (the file is fetched from its start), Receiving.
  virtual void jobNote(Note what, const std::string& text) = 0;
  // Bytes are in the file: the resume point moved.
  virtual void jobWrote() = 0;
  // What the job does not decide alone: the end of the file, a question for the user, a
  // failure to show. Outcome::Reconnect asks for the next connection now, Outcome::GaveUp
  // says that the tries are used up (text: why). Called from the event loop.
  virtual void jobOutcome(const ConnectionResult& r) = 0;
  // Waiting before the next try: seconds left and why; called once a second.
  virtual void jobWaiting(int secondsLeft, const std::string& why) = 0;
  // The wait is over: try again now, from the resume point as the job left it.
  virtual void jobRetry() = 0;
};

class DownloadJob {
 public:
  using Phase = JobPhase;
  static constexpr int kMaxRedirects = 20;

  explicit DownloadJob(JobEvents& events, JobClock& clock = systemClock(), ConnectionFactory connect = nullptr);
  // Connections made from now on come from connect (a batch's kept-alive pool).
  void useConnections(ConnectionFactory connect) { m_connect = std::move(connect); }
  ~DownloadJob();
  DownloadJob(const DownloadJob&) = delete;
  DownloadJob& operator=(const DownloadJob&) = delete;

 private:
  DownloadState m_s;

 public:
  // What is fetched and into which file, set while the download is prepared.
  Download& m_d = m_s.address;
  // The queue slot the job keeps current ("" none).
  std::string m_slot;
  // Mirror-list sessions try the next site before the same one again.
  bool m_mirrorList = false;
  // The other sites of a mirror list, set by the session before each open: further
  // connections fetch pieces from them too, once a site is tied to the first one.
  struct Site {
    Download address;
    Route route;
  };
  std::vector<Site> m_otherSites;
  // A checksum the whole file must have (--checksum): it ties any site of the same length.
  bool m_checksumGiven = false;
  // A file this download made, still empty, takes the name a server's Content-Disposition
  // gives, in its folder (-J, or a URL that names no file).
  bool m_nameFromServer = false;

  // Standard output (-o -): bytes go out once and in order, so a new connection starts
  // exactly after the last byte written, and a server that cannot go on from there ends it.
  bool streaming() const;
  // The whole file's digest the latest reply gave ("sha256=hex"), "" none.
  const std::string& serverDigest() const { return m_serverDigest; }

  // ---- the record, as views read it ----
  const DownloadState& state() const { return m_s; }
  Snapshot snapshot() const;
  Phase phase() const { return m_s.phase; }
  // startOffset() counts every byte finished before the connections opened, bytesThisConn()
  // every byte they added since, totalSize() what was still to come then (0 unknown).
  std::int64_t startOffset() const { return m_doneAtOpen; }
  std::int64_t bytesThisConn() const { return m_s.bytesDone() - m_doneAtOpen; }
  std::int64_t totalSize() const { return m_s.total > 0 ? m_s.total - m_doneAtOpen : 0; }
  const std::string& lastModified() const { return m_s.lastModified; }
  int stupidServer() const { return m_s.stupidServer; }
  // The header log: the first connection's exchange, then each further connection's whole,
  // in the order they opened (their lines would interleave otherwise).
  std::string headers() const;
  int fruitlessAttempts() const { return m_s.fruitless; }
  const std::string& endReason() const { return m_s.endReason; }
  // Stopped by a failure (after stop()): the phase says so, with why (the end reason, when
  // none is set yet), published at once.
  void fail(const std::string& why);
  // The session asks the user something (a message box, a login): published as such.
  void setAsking(bool asking);
  bool asking() const { return m_asking || m_s.phase == Phase::Asking; }
  struct Asking {
    explicit Asking(DownloadJob& job) : m_job(job) { job.setAsking(true); }
    ~Asking() { m_job.setAsking(false); }
    DownloadJob& m_job;
  };
  // said: the user has been shown it already (a message), so the ending need not repeat it.
  void setEndReason(const std::string& why, bool said = false) {
    m_s.endReason = why;
    m_endReasonSaid = said;
  }
  bool endReasonSaid() const { return m_endReasonSaid; }

  // ---- the resume point ----
  // A new download: from byte 0.
  void startFresh();
  // A queued entry: its bytes on disk, stepped back by the rollback.
  void restore(const QueueEntry& e, std::int64_t rollbackBytes);
  // Against the file on disk; false when it cannot be opened, with why.
  bool clampToFile(std::int64_t rollbackBytes, std::string& why);
  // Before a resume: a few bytes again, in case the last ones were damaged; bytes already
  // fetched again after an earlier break are not stepped back over twice.
  void stepBack(std::int64_t rollbackBytes);
  // A mirror list goes on at another site: its reply must be tied to the bytes on disk, or
  // the bytes it brings again must match them.
  void siteChanged();

  // ---- connections ----
  // Opens the output file at the resume point and a connection along route. False when
  // the file cannot be opened (why: the reason); a socket that cannot be made, or a connect
  // that fails at once, is reported like a connect that fails later.
  bool open(const Route& route, std::string& why);
  bool connectionOpen() const { return connections() > 0; }
  const Route* route() const { return m_first ? &m_first->route() : nullptr; }
  // The latest first connection, open or not (none before the first).
  const Connection* connection() const { return m_first.get(); }
  // Closes the connections; their bytes stay done. Stops a wait.
  void stop();
  // A new login for the connection that waits after FtpLoginRefused: false when it must
  // go out on a new connection.
  bool newLogin(const std::string& user, const std::string& password);
  // After a redirect was prepared: a login (and an Authorization header) belongs to the
  // server it was given for; cookies (and a Cookie header) to its host, and a Cookie header
  // never follows https to plain http.
  void redirectPrepared();
  // The log of the connection about to open starts with text.
  void startLog(const std::string& text) {
    m_headers = text;
    m_pieceLogs.clear();
  }

  // ---- pieces ----
  // Connections running now.
  int connections() const;
  bool inPieces() const { return m_pieces; }
  // Every finished range, and what each running connection has still to fetch.
  Ranges finished() const { return m_s.done; }
  std::vector<Range> running() const;

  // ---- trying again ----
  bool waiting() const { return m_s.phase == Phase::Waiting; }
  // Why the job waits (or last waited) to try again.
  const std::string& waitReason() const { return m_waitWhy; }
  // Every site of a mirror list failed: true when a new round follows a wait.
  bool waitForNextRound(const std::string& why);

 private:
  struct Conn;  // one connection and what the job knows of it
  friend struct Conn;

  void onNote(Conn& c, Note what, const std::string& text);
  bool onReply(Conn& c, const ReplyFacts& facts);
  void onWrote(Conn& c, std::int64_t offset, std::int64_t n);
  void onOutcome(Conn& c, const ConnectionResult& r);
  // The first connection's reply and end.
  bool firstReply(const ReplyFacts& facts);
  void firstOutcome(const ConnectionResult& r);

  // Told to the events from the event loop.
  void deliver(const ConnectionResult& r);
  void deliver(Outcome what, const std::string& text = std::string());
  // A temporary failure with tries left: after a wait (always), the next site, or given up.
  void tryAgain(const ConnectionResult& r);
  void wait(int seconds, const std::string& why);
  // An attempt that reached this many bytes done made progress: well past the high-water mark.
  bool progressed(std::int64_t reached) const;
  // One more attempt without progress: true (and the end reason set) when the tries are used up.
  bool usedUp(const std::string& why);
  // The bytes on disk cannot be trusted: the file is fetched again from byte 0.
  void forgetBytes(bool newVersion);
  // The new file renamed as the server says (m_nameFromServer).
  void takeServerName(const std::string& name);
  // Once a second while the job lives: the live state, when changed.
  void publish();
  // Start, Pieces and the validators, together; now or within 200 ms.
  void checkpoint(bool now);
  // The speed limits as the settings say now (MaxSpeed, TotalMaxSpeed): a change made while
  // the download runs (the Downloads window) reaches its connections within a second.
  void followLimits();

  // ---- lending ranges ----
  std::shared_ptr<Conn> launch(ConnectionRequest req, int site, bool probe, Range range);
  // The range goes back: its bytes stay done, the connection is let go of from the event loop.
  void checkIn(Conn& c);
  // The download goes in pieces: its length is reserved, further connections follow.
  bool startPieces(std::int64_t total);
  void sampleRate(int ms, std::function<void(double)> then);
  void judgeRamp();
  // Opens further connections while fewer run than wanted and a range is to be had.
  void fill();
  // Every missing byte is lent: an idle connection races the slowest range.
  bool endGame();
  void handBack();
  ConnectionRequest request(const Download& address, const Route& route) const;
  // False when its connection could not start (it ended as a failed one).
  bool openHelper(Range piece, int site, bool probe, int cutFrom = -1, bool race = false);
  std::optional<int> nextSite(bool fastest = false) const;
  // A further connection's reply is exactly its part of the same file: it takes its range
  // from the connection it was cut from.
  void takeOver(Conn& c);
  // Connections whose whole range is done by others stop.
  void dropRedundant();
  void stopAll();
  // Every byte is in: the job ends as a whole file does.
  bool complete();
  // The validator a request's If-Range carries: the strong ETag, else the date.
  std::string ifRange() const;
  // A reply's validators and length against the kept ones: false when the server's file is another.
  bool sameVersion(const ReplyFacts& facts) const;
  // The site may join the pieces: it shows the same file as the first site.
  bool tied(const ReplyFacts& facts) const;
  // A small range before the resume point, compared when the bytes fetched again differ.
  Range earlierRange() const;
  Conn* find(int id);
  double rateOf(const Conn& c) const;
  void retireLater();

  JobEvents& m_events;
  JobClock& m_clock;
  ConnectionFactory m_connect;
  int m_nextId = 0;
  std::shared_ptr<Conn> m_firstConn;
  std::shared_ptr<Connection> m_first;
  std::vector<std::shared_ptr<Conn>> m_conns, m_retired;
  std::int64_t m_doneAtOpen = 0;
  int m_redirectCount = 0;
  bool m_dirty = false;  // the state has changed since the last checkpoint
  bool m_entryHasBytes = false;  // the entry names bytes on disk (Start, Pieces), as last stored
  bool m_endReasonSaid = false;
  bool m_restartNoted = false;  // a whole file came for a resume: its reply says whether it changed
  bool m_checkpointFailed = false;  // said already: the store did not take the last checkpoint
  std::string m_headers;
  std::vector<std::shared_ptr<std::string>> m_pieceLogs;
  std::string m_serverDigest;
  Download m_beforeRedirect;
  int m_waitLeft = 0;
  std::int64_t m_waitUntil = 0;
  std::string m_waitWhy;
  // Pieces.
  bool m_pieces = false;
  int m_wanted = 1;        // connections wanted: Connections (1 when more do not help)
  int m_firstSiteRoom = 1; // connections the first site takes: less one per refusal
  double m_rateAlone = 0;
  bool m_judgeRamp = false;
  Route m_route;
  std::shared_ptr<CFile> m_file;
  std::shared_ptr<RateLimit> m_limit;
  std::pair<std::int64_t, std::int64_t> m_speeds{-1, -1};  // the limits m_limit was made for
  enum class Trust { Unknown, Probing, Joined, Alone, Dropped };
  struct SiteState {
    Trust trust = Trust::Unknown;
    int room = 1;
    std::string ifRange;             // the validator it shares with the first site
    std::int64_t bytes = 0, ms = 0;  // what its finished connections brought, and in how long
  };
  std::vector<SiteState> m_sites;
  SiteState m_firstSite;  // the first site's measure (bytes and ms) alone
  // A site's rate per connection (-1 the first site); measured: it has brought bytes.
  double siteRate(int s, bool& measured) const;
  // How long the next piece waits for site s's probe (-1 any site's) to answer; 0 not at all.
  int probeWaitMs(int s) const;
  SiteState& site(int i) { return m_sites[static_cast<std::size_t>(i)]; }
  std::vector<ConnectionResult> m_pending;
  std::uint64_t m_stops = 0;  // how many times the job was stopped
  bool m_asking = false;
  LiveState m_published;
  std::int64_t m_rateDone = -1, m_rateTick = 0, m_rate = 0;
  std::unique_ptr<JobTimer> m_fillTimer, m_rampTimer, m_saveTimer, m_deliverTimer, m_retireTimer, m_waitTimer,
      m_publishTimer;
};
