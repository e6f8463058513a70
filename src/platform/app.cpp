#include "platform/app.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <system_error>
#include <thread>

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"

namespace {
CWinApp* g_app = nullptr;

void makeDirs(const std::string& dir) {
  std::string cur;
  for (std::size_t i = 0; i <= dir.size(); ++i) {
    if (i == dir.size() || (dir[i] == '/' && i > 0)) {
      cur = dir.substr(0, i);
      ::mkdir(cur.c_str(), 0700);
    }
  }
}

// How long a write waits for other writers. Inside the event loop briefly: every session and
// timer of the process waits with it, so its caller tries again later instead.
constexpr int kLoopWaitMs = 100;
constexpr int kWaitMs = 30000;

bool insideLoop() { return QThread::currentThread()->loopLevel() > 0; }

// The write-ahead log is folded back into the store once it holds this many pages, on a
// thread of its own with a connection of its own: a checkpoint syncs the disk, which on the
// event loop would hold every download of the process.
constexpr int kWalPages = 2000;

void foldWal(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, kWaitMs);
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  sqlite3_close(db);
}

// A statement prepared once and reset after each use.
struct Stmt {
  sqlite3_stmt* s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};
}  // namespace

struct ProfileStore::Impl {
  sqlite3* db = nullptr;
  Stmt get, put, del, all, prefixed, range;
  std::map<std::pair<std::string, std::string>, std::int64_t> pendingInts;
  std::unique_ptr<QTimer> flushTimer;
  int txDepth = 0;
  std::uint64_t commits = 0;
  std::string path;
  std::shared_ptr<std::atomic<bool>> folding = std::make_shared<std::atomic<bool>>(false);
  int foldAt = kWalPages;  // the log's length that starts the next fold

  void foldLater() {
    if (folding->exchange(true)) return;
    try {
      std::thread([path = path, folding = folding] {
        foldWal(path);
        *folding = false;
      }).detach();
    } catch (const std::system_error&) {
      foldWal(path);
      *folding = false;
    }
  }

  ~Impl() {
    for (Stmt* st : {&get, &put, &del, &all, &prefixed, &range}) {
      sqlite3_finalize(st->s);
      st->s = nullptr;
    }
    if (db) sqlite3_close(db);
  }

  bool prepare(Stmt& st, const char* sql) { return sqlite3_prepare_v2(db, sql, -1, &st.s, nullptr) == SQLITE_OK; }

  // Sets how long the next write waits for other writers; true inside the event loop.
  bool patience() {
    bool loop = insideLoop();
    sqlite3_busy_timeout(db, loop ? kLoopWaitMs : kWaitMs);
    return loop;
  }

  // Returns the row's value: SQLITE_NULL type when absent.
  template <class F>
  void read(const std::string& section, const std::string& name, F&& onRow) {
    if (!get.s) return;
    sqlite3_bind_text(get.s, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(get.s, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(get.s) == SQLITE_ROW) onRow(get.s);
    sqlite3_reset(get.s);
  }

  bool writeRow(const std::string& section, const std::string& name, const std::int64_t* iv, const std::string* sv) {
    if (!put.s) return false;
    sqlite3_bind_text(put.s, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(put.s, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (iv)
      sqlite3_bind_int64(put.s, 3, *iv);
    else
      sqlite3_bind_text(put.s, 3, sv->data(), static_cast<int>(sv->size()), SQLITE_TRANSIENT);
    if (txDepth == 0) patience();
    bool ok = sqlite3_step(put.s) == SQLITE_DONE;
    sqlite3_reset(put.s);
    return ok;
  }
};

std::string DefaultProfilePath(const std::string& maker, const std::string& appName) {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
    base = x;
  else if (const char* h = std::getenv("HOME"); h && *h)
    base = std::string(h) + "/.config";
  else
    base = "/tmp";
  return base + "/" + maker + "/" + appName + "/settings.db";
}

namespace {
bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// "<path>.damaged-<local time>", with a number added when that name is taken.
std::string asideName(const std::string& path) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
  std::string aside = path + ".damaged-" + stamp;
  struct stat st{};
  for (int n = 2; ::lstat(aside.c_str(), &st) == 0; ++n) aside = path + ".damaged-" + stamp + "-" + std::to_string(n);
  return aside;
}
}  // namespace

ProfileStore::ProfileStore(const std::string& path) : m_impl(std::make_unique<Impl>()), m_path(path) {
  auto slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  makeDirs(folder);
  // A damaged store is moved aside and a new one made: without a store there is no queue.
  // Processes starting together take turns (a lock on the folder), so that the one that
  // moves the file has made and set up the new store before the next looks: a check before
  // the rename alone could move another's new store, or its side files, aside.
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0)
    while (::flock(folderFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat found{};
    bool present = ::stat(path.c_str(), &found) == 0;
    if (open() != Opened::Damaged || !present) break;
    struct stat now{};
    if (::stat(path.c_str(), &now) != 0 || !sameFile(found, now)) continue;
    std::string aside = asideName(path);
    if (::rename(path.c_str(), aside.c_str()) != 0) {
      if (errno == ENOENT) continue;  // moved by another process just now
      break;
    }
    for (const char* extra : {"-wal", "-shm"}) ::rename((path + extra).c_str(), (aside + extra).c_str());
    m_movedAsideTo = aside;
  }
  if (folderFd >= 0) ::close(folderFd);  // releases the lock
  // A store in WAL mode cannot be read where its side files cannot be made: it is read as
  // it stands, so the options stored in it still count.
  if (!m_impl->db && ::access(path.c_str(), R_OK) == 0) openForReading();
  m_readOnly = !m_impl->db || sqlite3_db_readonly(m_impl->db, "main") == 1 || ::access(folder.c_str(), W_OK) != 0;
}

void ProfileStore::openForReading() {
  std::string uri = "file:";
  for (char c : m_path) {
    if (c == '?' || c == '#' || c == '%')
      uri += Format("%%%02X", static_cast<unsigned char>(c));
    else
      uri += c;
  }
  uri += "?immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &m_impl->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      !m_impl->prepare(m_impl->get, "SELECT value FROM profile WHERE section=?1 AND name=?2")) {
    sqlite3_close(m_impl->db);
    m_impl->db = nullptr;
  }
}

ProfileStore::Opened ProfileStore::open() {
  sqlite3*& db = m_impl->db;
  // What cannot be opened is damaged only when it is no readable file: a file that is fine
  // may fail for a passing cause (its folder, its side files) and is never moved for that.
  auto unopenable = [&] {
    sqlite3_close(db);
    db = nullptr;
    struct stat st{};
    bool file = ::stat(m_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(m_path.c_str(), R_OK) == 0;
    return file ? Opened::Failed : Opened::Damaged;
  };
  // The store keeps credentials (request headers, cookies, logins): it is the user's alone.
  // SQLite gives its side files (-wal, -shm) the store's mode; older ones are closed too.
  if (int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); fd >= 0) {
    struct stat st{};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
    ::close(fd);
  }
  for (const char* side : {"-wal", "-shm", "-journal"}) {
    struct stat st{};
    std::string path = m_path + side;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
      ::chmod(path.c_str(), st.st_mode & 0700);
  }
  if (sqlite3_open_v2(m_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK)
    return unopenable();
  sqlite3_busy_timeout(db, kWaitMs);
  sqlite3_commit_hook(db, [](void* n) { return ++*static_cast<std::uint64_t*>(n), 0; }, &m_impl->commits);
  // Reading the whole (small) store finds a file that is no database or is cut short.
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(check);
  bool damaged = rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT ||
                 (rc == SQLITE_ROW && std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) != "ok");
  sqlite3_finalize(check);
  if (rc == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_IOERR) return unopenable();
  if (damaged) {
    sqlite3_close(db);
    db = nullptr;
    return Opened::Damaged;
  }
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  m_impl->path = m_path;
  sqlite3_wal_hook(
      db,
      [](void* arg, sqlite3* self, const char*, int pages) {
        auto* impl = static_cast<Impl*>(arg);
        if (pages < kWalPages) {
          impl->foldAt = kWalPages;  // the log started again
        } else if (pages >= 8 * kWalPages) {
          // Writes that never pause let no fold finish the log: this one does, here.
          sqlite3_wal_checkpoint_v2(self, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
          impl->foldAt = kWalPages;
        } else if (pages >= impl->foldAt) {
          impl->foldAt = pages + kWalPages;
          impl->foldLater();
        }
        return SQLITE_OK;
      },
      m_impl.get());
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS profile(section TEXT NOT NULL, name TEXT NOT NULL, value, "
               "PRIMARY KEY(section, name))",
               nullptr, nullptr, nullptr);
  m_impl->prepare(m_impl->get, "SELECT value FROM profile WHERE section=?1 AND name=?2");
  m_impl->prepare(m_impl->put, "INSERT OR REPLACE INTO profile(section, name, value) VALUES(?1, ?2, ?3)");
  m_impl->prepare(m_impl->del, "DELETE FROM profile WHERE section=?1 AND name=?2");
  m_impl->prepare(m_impl->all, "SELECT name, value FROM profile WHERE section=?1");
  m_impl->prepare(m_impl->prefixed, "SELECT name, value FROM profile WHERE section=?1 AND name>=?2 AND name<?3");
  m_impl->prepare(m_impl->range,
                  "SELECT name, value FROM profile WHERE section=?1 AND name>=?2 AND name<?3 ORDER BY name LIMIT ?4");
  return Opened::Yes;
}

ProfileStore::~ProfileStore() { flush(); }

std::int64_t ProfileStore::getInt(const std::string& section, const std::string& name, std::int64_t def) {
  if (auto it = m_impl->pendingInts.find({section, name}); it != m_impl->pendingInts.end()) return it->second;
  std::int64_t v = def;
  m_impl->read(section, name, [&](sqlite3_stmt* s) {
    switch (sqlite3_column_type(s, 0)) {
      case SQLITE_INTEGER:
        v = sqlite3_column_int64(s, 0);
        break;
      case SQLITE_TEXT: {
        // A number stored as text reads as its leading digits, as the old store did.
        const char* t = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        v = std::strtoll(t, nullptr, 10);
        break;
      }
      default:
        break;
    }
  });
  return v;
}

std::string ProfileStore::getString(const std::string& section, const std::string& name, const std::string& def) {
  if (auto it = m_impl->pendingInts.find({section, name}); it != m_impl->pendingInts.end())
    return std::to_string(it->second);
  std::string v = def;
  m_impl->read(section, name, [&](sqlite3_stmt* s) {
    if (sqlite3_column_type(s, 0) == SQLITE_NULL) return;
    const unsigned char* t = sqlite3_column_text(s, 0);
    v.assign(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
  });
  return v;
}

bool ProfileStore::writeInt(const std::string& section, const std::string& name, std::int64_t value) {
  // Within a transaction, or without an event loop to flush later, write at once.
  if (m_impl->txDepth > 0 || !QCoreApplication::instance()) {
    m_impl->pendingInts.erase({section, name});
    return m_impl->writeRow(section, name, &value, nullptr);
  }
  m_impl->pendingInts[{section, name}] = value;
  if (!m_impl->flushTimer) {
    m_impl->flushTimer = std::make_unique<QTimer>();
    m_impl->flushTimer->setSingleShot(true);
    QObject::connect(m_impl->flushTimer.get(), &QTimer::timeout, [this] { flush(); });
  }
  if (!m_impl->flushTimer->isActive()) m_impl->flushTimer->start(200);
  return true;
}

bool ProfileStore::writeString(const std::string& section, const std::string& name, const std::string& value) {
  m_impl->pendingInts.erase({section, name});
  return m_impl->writeRow(section, name, nullptr, &value);
}

bool ProfileStore::remove(const std::string& section, const std::string& name) {
  m_impl->pendingInts.erase({section, name});
  auto& del = m_impl->del;
  if (!del.s) return false;
  sqlite3_bind_text(del.s, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(del.s, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  if (m_impl->txDepth == 0) m_impl->patience();
  bool ok = sqlite3_step(del.s) == SQLITE_DONE;
  sqlite3_reset(del.s);
  return ok;
}

namespace {
// A row of (name, value) as the store hands it out: integers stay integers, NULL is no value.
ProfileValue rowValue(sqlite3_stmt* s) {
  ProfileValue v;
  v.name.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
  if (sqlite3_column_type(s, 1) == SQLITE_INTEGER)
    v.data = static_cast<std::int64_t>(sqlite3_column_int64(s, 1));
  else if (sqlite3_column_type(s, 1) != SQLITE_NULL)
    v.data = std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                         static_cast<std::size_t>(sqlite3_column_bytes(s, 1)));
  return v;
}

}  // namespace

std::vector<ProfileValue> ProfileStore::readSection(const std::string& section, const std::string& prefix) {
  std::vector<ProfileValue> out;
  // A prefix reads a range of the key: the names from prefix up to the next prefix.
  auto& all = prefix.empty() ? m_impl->all : m_impl->prefixed;
  if (!all.s) return out;
  std::string past = prefix;
  if (!past.empty()) ++past.back();
  sqlite3_bind_text(all.s, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
  if (!prefix.empty()) {
    sqlite3_bind_text(all.s, 2, prefix.data(), static_cast<int>(prefix.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(all.s, 3, past.data(), static_cast<int>(past.size()), SQLITE_TRANSIENT);
  }
  while (sqlite3_step(all.s) == SQLITE_ROW) {
    out.push_back(rowValue(all.s));
  }
  sqlite3_reset(all.s);
  for (const auto& [key, value] : m_impl->pendingInts) {
    if (key.first != section || key.second.compare(0, prefix.size(), prefix) != 0) continue;
    auto it = std::find_if(out.begin(), out.end(), [&](const ProfileValue& v) { return v.name == key.second; });
    if (it == out.end()) it = out.insert(out.end(), ProfileValue{key.second, {}});
    it->data = value;
  }
  return out;
}

std::vector<ProfileValue> ProfileStore::readRange(const std::string& section, const std::string& from,
                                                  const std::string& to, int limit) {
  std::vector<ProfileValue> out;
  auto& st = m_impl->range;
  if (!st.s) return out;
  sqlite3_bind_text(st.s, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 2, from.data(), static_cast<int>(from.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(st.s, 3, to.data(), static_cast<int>(to.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int(st.s, 4, limit);
  while (sqlite3_step(st.s) == SQLITE_ROW) {
    out.push_back(rowValue(st.s));
  }
  sqlite3_reset(st.s);
  return out;
}

bool ProfileStore::writeValues(const std::string& section, const std::vector<ProfileValue>& values) {
  bool ok = true;
  bool committed = transaction([&] {
    for (const auto& v : values) {
      if (const auto* n = std::get_if<std::int64_t>(&v.data))
        ok = writeInt(section, v.name, *n) && ok;
      else if (const auto* t = std::get_if<std::string>(&v.data))
        ok = writeString(section, v.name, *t) && ok;
      else
        ok = remove(section, v.name) && ok;
    }
  });
  return committed && ok;
}

void ProfileStore::flush() {
  if (m_impl->pendingInts.empty() || !m_impl->db) return;
  if (m_impl->flushTimer) m_impl->flushTimer->stop();
  if (m_impl->txDepth > 0) {
    auto pending = std::move(m_impl->pendingInts);
    m_impl->pendingInts.clear();
    for (const auto& [key, value] : pending) m_impl->writeRow(key.first, key.second, &value, nullptr);
    return;
  }
  // All in one transaction, which writes what is held; a store busy for now keeps them for
  // the timer, one that cannot be written drops them.
  if (transaction([] {}) || m_impl->pendingInts.empty()) return;
  if (!m_busy)
    m_impl->pendingInts.clear();
  else if (m_impl->flushTimer)
    m_impl->flushTimer->start(200);
}

bool ProfileStore::transaction(const std::function<void()>& fn) {
  if (!m_impl->db) {
    fn();
    return false;
  }
  if (m_impl->txDepth > 0) {
    fn();
    return true;
  }
  bool loop = m_impl->patience();
  // BEGIN IMMEDIATE waits through the busy timeout for other writers (outside the loop a
  // few times over).
  int rc;
  int tries = 0;
  while ((rc = sqlite3_exec(m_impl->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) == SQLITE_BUSY && !loop &&
         tries++ < 20)
    ::usleep(50000);
  m_busy = rc == SQLITE_BUSY;
  // Writes that were to go together never go without the transaction.
  if (rc != SQLITE_OK) return false;
  ++m_impl->txDepth;
  // Integers held back go with it, rather than in a transaction of their own.
  auto pending = std::move(m_impl->pendingInts);
  m_impl->pendingInts.clear();
  for (const auto& [key, value] : pending) m_impl->writeRow(key.first, key.second, &value, nullptr);
  fn();
  --m_impl->txDepth;
  tries = 0;
  while ((rc = sqlite3_exec(m_impl->db, "COMMIT", nullptr, nullptr, nullptr)) == SQLITE_BUSY && !loop && tries++ < 500)
    ::usleep(10000);
  if (rc == SQLITE_OK) {
    if (m_impl->flushTimer) m_impl->flushTimer->stop();
    return true;
  }
  m_busy = rc == SQLITE_BUSY;
  sqlite3_exec(m_impl->db, "ROLLBACK", nullptr, nullptr, nullptr);
  // What was held back is not lost with the transaction.
  for (const auto& [key, value] : pending) m_impl->pendingInts.emplace(key, value);
  if (!m_impl->pendingInts.empty() && m_impl->flushTimer) m_impl->flushTimer->start(200);
  return false;
}

void ProfileStore::reading(const std::function<void()>& fn) {
  if (!m_impl->db || m_impl->txDepth > 0) {
    fn();
    return;
  }
  bool begun = sqlite3_exec(m_impl->db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  fn();
  if (begun) sqlite3_exec(m_impl->db, "COMMIT", nullptr, nullptr, nullptr);
}

std::uint64_t ProfileStore::commits() const { return m_impl->commits; }

// ---- CWinApp ----

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}
CWinApp* AfxGetApp() { return g_app; }

void CWinApp::SetRegistryKey(const std::string& maker) { m_maker = maker; }
void CWinApp::SetProfilePath(const std::string& path) {
  m_profilePath = path;
  m_store.reset();
}

ProfileStore* CWinApp::Store() {
  if (!m_store) {
    extern const std::string& AppName();
    std::string path = m_profilePath.empty() ? DefaultProfilePath(m_maker.empty() ? "Quillfern" : m_maker, AppName())
                                             : m_profilePath;
    m_store = std::make_unique<ProfileStore>(path);
    // Told once: the next process finds the new store, or the same unwritable one again.
    if (!m_store->movedAsideTo().empty())
      AfxMessageBox(FormatString(LoadString(res::IDS_STORE_REPLACED), m_store->movedAsideTo()), MB_ICONEXCLAMATION);
    else if (m_store->readOnly())
      AfxMessageBox(FormatString(LoadString(res::IDS_STORE_READ_ONLY), path), MB_ICONEXCLAMATION);
  }
  return m_store.get();
}

std::int64_t CWinApp::GetProfileInt(const std::string& section, const std::string& entry, std::int64_t def) {
  return Store()->getInt(section, entry, def);
}
std::string CWinApp::GetProfileString(const std::string& section, const std::string& entry, const std::string& def) {
  return Store()->getString(section, entry, def);
}
bool CWinApp::WriteProfileInt(const std::string& section, const std::string& entry, std::int64_t value) {
  return Store()->writeInt(section, entry, value);
}
bool CWinApp::WriteProfileString(const std::string& section, const std::string& entry, const char* value) {
  if (!value) return Store()->remove(section, entry);
  return Store()->writeString(section, entry, value);
}
bool CWinApp::WriteProfileString(const std::string& section, const std::string& entry, const std::string& value) {
  return Store()->writeString(section, entry, value);
}
bool CWinApp::WriteProfileValues(const std::string& section, const std::vector<ProfileValue>& values) {
  return Store()->writeValues(section, values);
}
std::vector<ProfileValue> CWinApp::GetProfileSection(const std::string& section, const std::string& prefix) {
  return Store()->readSection(section, prefix);
}
std::vector<ProfileValue> CWinApp::GetProfileRange(const std::string& section, const std::string& from,
                                                   const std::string& to, int limit) {
  return Store()->readRange(section, from, to, limit);
}
bool CWinApp::ProfileTransaction(const std::function<void()>& fn) { return Store()->transaction(fn); }
void CWinApp::ProfileReading(const std::function<void()>& fn) { Store()->reading(fn); }
void CWinApp::FlushProfile() {
  if (m_store) m_store->flush();
}
