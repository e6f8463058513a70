// The download job: the one owner of a download's state (the phase, the total size, the
// validator, the resume point, the attempts, the reason it ended) and the one writer of
// its resume point. It opens the connection, takes what the connection reports, and
// decides what follows: the next connection at once, a wait and a new try, or a question
// for the user, which the session gets from the event loop, never inside a socket handler.
// It has no window: a test can drive it alone.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/pieces.h"
#include "platform/timer.h"
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

class DownloadJob : private ConnectionEvents {
 public:
  enum class Phase { Idle, Connecting, Receiving, Asking, Waiting, Paused, Finished };
  static constexpr int kMaxRedirects = 20;

  explicit DownloadJob(JobEvents& events);
  ~DownloadJob() override;

  // What is fetched and into which file, set while the download is prepared.
  Download m_d;
  // The queue slot the job keeps current ("" none).
  std::string m_slot;
  // Mirror-list sessions try the next site before the same one again.
  bool m_mirrorList = false;
  // The other sites of a mirror list, set by the session before each open: further
  // connections fetch pieces from them too, once a site has shown the same file.
  struct Site {
    Download address;
    Route route;
  };
  std::vector<Site> m_otherSites;
  // A file this download made, still empty, takes the name a server's Content-Disposition
  // gives, in its folder (-J, or a URL that names no file).
  bool m_nameFromServer = false;

  // Standard output (-o -): bytes go out once and in order, so a new connection starts
  // exactly after the last byte written, and a server that cannot go on from there ends it.
  bool streaming() const;
  // The whole file's digest the latest reply gave ("sha256=hex"), "" none.
  const std::string& serverDigest() const { return m_serverDigest; }

  // ---- the record, as views read it ----
  Phase phase() const { return m_phase; }
  // In pieces, startOffset() counts every byte finished before the connections opened and
  // bytesThisConn() every byte they added since.
  std::int64_t startOffset() const { return m_startOffset + m_doneAtOpen; }
  std::int64_t bytesThisConn() const { return m_bytesThisConn + m_pieceBytes; }
  // What is still to come when the connections opened (with startOffset(), the file's size).
  std::int64_t totalSize() const { return m_pieces ? m_fileLength - startOffset() : m_totalSize; }
  const std::string& lastModified() const { return m_lastModified; }
  int stupidServer() const { return m_stupidServer; }
  // The header log: the first connection's exchange, then each further connection's whole,
  // in the order they opened (their lines would interleave otherwise).
  std::string headers() const;
  int fruitlessAttempts() const { return m_fruitless; }
  // Why the download ended or stopped, in one line ("" not known).
  const std::string& endReason() const { return m_endReason; }
  // Connections open now (one at most for now).
  // The state as the queue entry publishes it for the overview and scripts.
  LiveState live() const;
  // The session asks the user something (a message box, a login): published as such.
  void setAsking(bool asking);
  bool asking() const { return m_asking || m_phase == Phase::Asking; }
  struct Asking {
    explicit Asking(DownloadJob& job) : m_job(job) { job.setAsking(true); }
    ~Asking() { m_job.setAsking(false); }
    DownloadJob& m_job;
  };
  // said: the user has been shown it already (a message), so the ending need not repeat it.
  void setEndReason(const std::string& why, bool said = false) {
    m_endReason = why;
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
  // Before a resume: a few bytes again, in case the last ones were damaged.
  void stepBack(std::int64_t rollbackBytes);

  // ---- connections ----
  // Opens the output file at the resume point and a connection along route. False when
  // the file cannot be opened (why: the reason); a socket that cannot be made, or a connect
  // that fails at once, is reported like a connect that fails later.
  bool open(const Route& route, std::string& why);
  // Any of its connections is open.
  bool connectionOpen() const;
  const Route* route() const { return m_transfer ? &m_transfer->route() : nullptr; }
  // The latest connection, open or not (none before the first).
  const Transfer* connection() const { return m_transfer.get(); }
  // Closes the connection; its bytes join the resume point. Stops a wait.
  void stop();
  // A new login for the connection that waits after FtpLoginRefused: false when it must
  // go out on a new connection.
  bool newLogin(const std::string& user, const std::string& password);
  // After a redirect was prepared: a login belongs to the server it was given for.
  void redirectPrepared();
  // The log of the connection about to open starts with text.
  void startLog(const std::string& text) {
    m_headers = text;
    m_pieceLogs.clear();
  }

  // ---- pieces ----
  // Connections running now (0 or 1 unless the download goes in pieces).
  int connections() const;
  bool inPieces() const { return m_pieces; }
  // Every finished range ([0, Start) included) and what each running connection has still
  // to fetch, for the piece map.
  Ranges finished() const;
  std::vector<Range> running() const;

  // ---- trying again ----
  bool waiting() const { return m_phase == Phase::Waiting; }
  // Why the job waits (or last waited) to try again.
  const std::string& waitReason() const { return m_waitWhy; }
  // Every site of a mirror list failed: true when a new round follows a wait.
  bool waitForNextRound(const std::string& why);

 private:
  void connectionNote(Note what, const std::string& text) override;
  bool connectionReply(const ReplyFacts& facts) override;
  void connectionWrote(std::int64_t offset, std::int64_t n) override;
  void connectionOutcome(const ConnectionResult& r) override;

  // Told to the events from the event loop.
  void deliver(const ConnectionResult& r);
  void deliver(Outcome what, const std::string& text = std::string());
  // A temporary failure with tries left: at once, after a wait, or given up.
  void tryAgain(const ConnectionResult& r);
  void wait(int seconds, const std::string& why);
  // One more attempt without new bytes: true (and the end reason set) when that was one too many.
  bool usedUp(const std::string& why);
  // The connection is let go of from the event loop: its handler may still be running.
  void retire();
  void writeStart();
  // The new file renamed as the server says (m_nameFromServer).
  void takeServerName(const std::string& name);
  // Once a second while the job lives: the live state with the resume point, when changed.
  void publish();
  // The finished ranges, with Start, in one transaction (a download in pieces).
  void savePieces();
  // Finished ranges beyond Start exist, here or in the store: Start goes with them.
  bool piecesKept() const { return m_pieces || m_piecesStored || !m_done.empty(); }

  // ---- pieces ----
  struct Helper;  // a further connection
  friend struct Helper;
  // The primary's reply allows pieces: the file's length is reserved and further
  // connections follow from the event loop. False when the disk cannot hold the file.
  bool startPieces(const ReplyFacts& facts, std::int64_t total);
  // Calls then with the download's rate over ms milliseconds, taken after ms (bytes a
  // second; never without timers).
  void sampleRate(int ms, std::function<void(double)> then);
  // Further connections stay only if they made the download faster: judged on a sample
  // once each of them has brought bytes.
  void judgeRamp();
  // Opens further connections while fewer run than wanted and a piece is to be had.
  void fill();
  void handBack();
  // What every connection of this download asks: the address, the route, the settings.
  ConnectionRequest request(const Download& address, const Route& route) const;
  // A further connection for piece, to site (-1 the first connection's, else one of
  // m_otherSites); a probe asks only the site's first byte, to learn its length and date.
  void openHelper(Range piece, int site = -1, bool probe = false);
  // The site the next further connection goes to: the one with the fewest running (-1 the
  // first connection's), none when every site is used up.
  std::optional<int> nextSite() const;
  bool helperReply(Helper& h, const ReplyFacts& facts);
  void helperWrote(Helper& h, std::int64_t offset, std::int64_t n);
  void helperOutcome(Helper& h, const ConnectionResult& r);
  // Closes the further connections; their bytes join the finished ranges.
  void stopHelpers();
  // The download is in one piece again (fetched from byte 0).
  void dropPieces();
  // Every byte is in: the job ends as a whole file does.
  bool complete();
  std::int64_t reached() const;
  // The validator as the entry keeps it.
  ProfileData stamp() const;

  JobEvents& m_events;
  Phase m_phase = Phase::Idle;
  std::int64_t m_startOffset = 0;    // bytes in the file when the current connection began
  std::int64_t m_bytesThisConn = 0;  // bytes the current connection added
  std::int64_t m_totalSize = 0;      // what the server announced for this connection, 0 unknown
  std::int64_t m_highWater = 0;      // the most bytes ever on disk: beyond it, bytes are new
  std::string m_lastModified;
  int m_stupidServer = 0;
  int m_redirectCount = 0;
  int m_fruitless = 0;  // attempts in a row that brought no new byte
  std::string m_headers;
  // Each further connection's log since the first connection's began; a connection that
  // ends keeps its part.
  std::vector<std::shared_ptr<std::string>> m_pieceLogs;
  std::string m_endReason;
  bool m_endReasonSaid = false;
  std::string m_serverDigest;
  Download m_beforeRedirect;
  int m_waitLeft = 0;
  std::string m_waitWhy;
  std::shared_ptr<Transfer> m_transfer;
  // Pieces: the finished ranges past the primary connection's own, the further connections,
  // and what they share.
  bool m_pieces = false;
  bool m_piecesStored = false;       // the entry lists finished ranges
  int m_wanted = 1;                  // connections wanted: Connections (1 when more do not help)
  int m_firstSiteRoom = 1;           // connections the first site takes: less one per refusal
  double m_rateAlone = 0;            // the first connection's rate before the others opened
  bool m_judgeRamp = false;          // the others' effect is still to be judged
  std::int64_t m_fileLength = 0;     // the whole file's length (pieces only)
  Ranges m_done;
  std::int64_t m_doneAtOpen = 0;     // bytes of m_done when the primary opened
  std::int64_t m_pieceBytes = 0;     // bytes further connections wrote since then
  std::string m_etag, m_ifRange;
  Route m_route;
  std::shared_ptr<CFile> m_file;
  std::shared_ptr<RateLimit> m_limit;  // MaxSpeed over all the connections
  std::vector<std::shared_ptr<Helper>> m_helpers, m_retiredHelpers;
  // How far each other site is trusted for this download (in the order of m_otherSites),
  // and the If-Range its pieces carry: the validator it was found to share.
  enum class Trust { Unknown, Probing, Joined, Dropped };
  struct SiteState {
    Trust trust = Trust::Unknown;
    std::string ifRange;
    int room = 1;  // connections it takes: less one per refusal
  };
  std::vector<SiteState> m_siteStates;
  SiteState& siteState(int site) { return m_siteStates[static_cast<std::size_t>(site)]; }
  CTimer m_fillTimer, m_rampTimer, m_saveTimer;
  std::vector<std::shared_ptr<Transfer>> m_retired;
  std::vector<ConnectionResult> m_pending;
  // The whole file, as the latest reply told it (0 unknown); kept when its connection closes.
  std::int64_t m_wholeSize = 0;
  void noteWholeSize() {
    if (m_totalSize > 0) m_wholeSize = m_totalSize + m_startOffset;
  }
  bool m_asking = false;
  std::int64_t m_waitUntil = 0;  // while waiting: when the next try starts
  // What was last published, and when the rate was last sampled.
  LiveState m_published;
  bool m_startMoved = false;  // bytes moved the resume point since the last publication
  std::int64_t m_rateDone = -1;
  std::int64_t m_rateTick = 0;
  std::int64_t m_rate = 0;
  CTimer m_deliverTimer, m_retireTimer, m_waitTimer, m_publishTimer;
};
