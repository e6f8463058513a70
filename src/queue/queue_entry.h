// The download queue in section FileQueue: slots 00 to 99, each entry one value per fact,
// named by the fact and the slot ("Get05"). This file is the one place that names them.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

enum class QueueValue { Get, Local, Start, WindowX, WindowY, Minimized, LastMod, StupidServer, FTPMarker };

constexpr int kQueueSlots = 100;

// The slot text "%02i".
std::string slotText(int slot);

struct QueueEntry {
  std::string slot;
  std::string url;            // Get: the address being fetched; empty = no entry
  std::string localPath;      // Local
  std::int64_t start = 0;     // Start: the bytes on disk
  std::int64_t windowX = -1;  // WindowX, WindowY: the window's place, -1 unknown
  std::int64_t windowY = -1;
  bool minimized = false;    // Minimized
  std::string lastModified;  // LastMod
  int stupidServer = 0;      // StupidServer

  static QueueEntry load(const std::string& slot);
  static bool exists(const std::string& slot);
  // Removes every value of the entry but those in keep.
  static void remove(const std::string& slot, std::initializer_list<QueueValue> keep = {});

  // One value of the entry in slot, as a session keeps its entry current; clear() removes it.
  static void write(const std::string& slot, QueueValue v, std::int64_t value);
  static void write(const std::string& slot, QueueValue v, const std::string& value);
  static void clear(const std::string& slot, QueueValue v);
  static std::int64_t readInt(const std::string& slot, QueueValue v, std::int64_t def);
};
