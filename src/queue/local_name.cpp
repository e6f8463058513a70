#include "queue/local_name.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/file.h"
#include "queue/queue_entry.h"

PathTest heldByQueue(const std::string& exceptSlot) {
  auto held = std::make_shared<std::unordered_set<std::string>>();
  // Most entries share a few folders: each is resolved once.
  std::unordered_map<std::string, std::string> folders;
  for (const auto& [slot, local] : QueueEntry::readEvery(QueueValue::Local)) {
    if (slot == exceptSlot || local.empty()) continue;
    std::size_t slash = local.rfind('/');
    if (slash == std::string::npos) {
      held->insert(ResolvedPath(local));
      continue;
    }
    std::string folder = local.substr(0, slash + 1);
    auto known = folders.find(folder);
    if (known == folders.end()) known = folders.emplace(folder, ResolvedPath(folder)).first;
    held->insert(known->second + local.substr(slash + 1));
  }
  return [held](const std::string& path) { return !held->empty() && held->count(ResolvedPath(path)) != 0; };
}

std::string freeLocalPath(const std::string& folder, const std::string& name, const PathTest& held,
                          const std::string& browsers) {
  std::string own = browsers.empty() ? browsers : ResolvedPath(browsers);
  for (int n = 0;; ++n) {
    std::string path = folder + "/" + NumberedName(name, n);
    bool stands = FileExists(path) && !(FileSize(path) == 0 && !own.empty() && ResolvedPath(path) == own);
    if (!stands && !held(path)) return path;
  }
}

std::string freeLocalPath(const std::string& folder, const std::string& name) {
  return freeLocalPath(folder, name, heldByQueue());
}

std::string makeLocalFile(const std::string& path, const std::string& exceptSlot, std::string& why, int waitMs) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  PathTest held = heldByQueue(exceptSlot);
  for (int n = 0; n < 10000; ++n) {
    // The name itself is this download's own (fitted, for an entry from before names were).
    std::string candidate = folder + "/" + NumberedName(name, n);
    if (n > 0 && held(candidate)) continue;
    if (CreateNewFile(candidate)) return candidate;
    if (errno != EEXIST) break;
    // The browser's own empty file goes once it lets go of the download: a short wait for it.
    for (int waited = 0; n == 0 && waited < waitMs && FileSize(candidate) == 0; waited += 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (CreateNewFile(candidate)) return candidate;
      if (errno != EEXIST) break;
    }
  }
  why = std::strerror(errno);
  return std::string();
}

std::string otherHolder(const std::string& path, const std::string& url, const std::string& exceptSlot) {
  std::string resolved = ResolvedPath(path);
  auto urls = QueueEntry::readEvery(QueueValue::Get);
  for (const auto& [slot, local] : QueueEntry::readEvery(QueueValue::Local))
    if (slot != exceptSlot && !local.empty() && urls[slot] != url && ResolvedPath(local) == resolved) return slot;
  return std::string();
}
