// The application object and the settings store behind the profile calls.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

class CDialog;

// A value as a record write gives it: an integer, a string, or nothing (the value is deleted).
using ProfileData = std::variant<std::monostate, std::int64_t, std::string>;
struct ProfileValue {
  std::string name;
  ProfileData data;
};

// Settings store: SQLite, one row per value, shared safely by many processes.
class ProfileStore {
 public:
  explicit ProfileStore(const std::string& path);
  ~ProfileStore();
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  std::int64_t getInt(const std::string& section, const std::string& name, std::int64_t def);
  std::string getString(const std::string& section, const std::string& name, const std::string& def);
  bool writeInt(const std::string& section, const std::string& name, std::int64_t value);
  bool writeString(const std::string& section, const std::string& name, const std::string& value);
  bool remove(const std::string& section, const std::string& name);
  // Every value of a section (or those whose names begin with prefix), read in one statement
  // (one consistent snapshot, no lock held against writers); held-back integers included.
  std::vector<ProfileValue> readSection(const std::string& section, const std::string& prefix = "");
  // At most limit values of a section whose names lie from from up to (not with) to, in the
  // order of their names: a look at the start of a long ordered section costs what a short
  // one does. Held-back integers are not among them.
  std::vector<ProfileValue> readRange(const std::string& section, const std::string& from, const std::string& to,
                                      int limit);
  // Several values of one section in one transaction, so that readers see all or none of
  // them; written at once (held-back integers are written first, none is left to follow).
  bool writeValues(const std::string& section, const std::vector<ProfileValue>& values);
  // Integer writes may be held back and coalesced; this writes what is held.
  void flush();
  // Runs fn inside one write transaction: the profile calls it makes see and change the store atomically.
  bool transaction(const std::function<void()>& fn);
  const std::string& path() const { return m_path; }
  // Where a store that could not be opened or was no database was moved (a new one took its
  // place); empty when none was.
  const std::string& movedAsideTo() const { return m_movedAsideTo; }
  // The store (or its folder) cannot be written: reads give what it holds, writes fail.
  bool readOnly() const { return m_readOnly; }

 private:
  enum class Opened { Yes, Damaged, Failed };
  // Opens the store; the handle stays closed unless it says Yes.
  Opened open();
  // Opens the store as it stands on disk, for reading only.
  void openForReading();

  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::string m_path;
  std::string m_movedAsideTo;
  bool m_readOnly = false;
};

// Where the store lives: ${XDG_CONFIG_HOME:-$HOME/.config}/Quillfern/<app name>/settings.db
std::string DefaultProfilePath(const std::string& maker, const std::string& appName);

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();

  virtual bool InitInstance() = 0;
  // The process is being ended by a signal: set m_exitCode for what is left behind.
  virtual void OnTerminate() {}

  void SetRegistryKey(const std::string& maker);
  // Uses this store file instead of the per-user one (tests).
  void SetProfilePath(const std::string& path);

  std::int64_t GetProfileInt(const std::string& section, const std::string& entry, std::int64_t def);
  std::string GetProfileString(const std::string& section, const std::string& entry, const std::string& def = "");
  bool WriteProfileInt(const std::string& section, const std::string& entry, std::int64_t value);
  // A null value deletes the entry.
  bool WriteProfileString(const std::string& section, const std::string& entry, const char* value);
  bool WriteProfileString(const std::string& section, const std::string& entry, const std::string& value);
  bool WriteProfileValues(const std::string& section, const std::vector<ProfileValue>& values);
  std::vector<ProfileValue> GetProfileSection(const std::string& section, const std::string& prefix = "");
  std::vector<ProfileValue> GetProfileRange(const std::string& section, const std::string& from, const std::string& to,
                                            int limit);
  bool ProfileTransaction(const std::function<void()>& fn);
  void FlushProfile();
  ProfileStore* Store();

  // The command line as given: the arguments joined by single blanks.
  std::string m_lpCmdLine;
  CDialog* m_pMainWnd = nullptr;
  int m_exitCode = 0;

 private:
  std::string m_maker;
  std::string m_profilePath;
  std::unique_ptr<ProfileStore> m_store;
};

CWinApp* AfxGetApp();
