#include "queue/queue_entry.h"

#include "platform/services.h"
#include "settings/options.h"

namespace {
struct ValueName {
  QueueValue value;
  const char* name;
};
constexpr ValueName kValueNames[] = {
    {QueueValue::Get, "Get"},
    {QueueValue::Local, "Local"},
    {QueueValue::Start, "Start"},
    {QueueValue::WindowX, "WindowX"},
    {QueueValue::WindowY, "WindowY"},
    {QueueValue::Minimized, "Minimized"},
    {QueueValue::LastMod, "LastMod"},
    {QueueValue::StupidServer, "StupidServer"},
    {QueueValue::FTPMarker, "FTPMarker"},
    {QueueValue::Pieces, "Pieces"},
};

std::string nameOf(const std::string& slot, QueueValue v) {
  for (const auto& n : kValueNames)
    if (n.value == v) return n.name + slot;
  return std::string();
}
}  // namespace

std::string slotText(int slot) { return Format("%02i", slot); }

QueueEntry QueueEntry::load(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  QueueEntry e;
  e.slot = slot;
  app->ProfileTransaction([&] {
    e.url = app->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Get), "");
    e.localPath = app->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Local), "");
    e.lastModified = app->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::LastMod), "");
    e.pieces = app->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Pieces), "");
    e.start = readInt(slot, QueueValue::Start, 0);
    e.windowX = readInt(slot, QueueValue::WindowX, -1);
    e.windowY = readInt(slot, QueueValue::WindowY, -1);
    e.stupidServer = static_cast<int>(readInt(slot, QueueValue::StupidServer, 0));
    e.minimized = readInt(slot, QueueValue::Minimized, 0) != 0;
  });
  return e;
}

void QueueEntry::save() const {
  auto text = [](const std::string& s) { return s.empty() ? ProfileData() : ProfileData(s); };
  auto number = [](std::int64_t v, std::int64_t absent) { return v == absent ? ProfileData() : ProfileData(v); };
  write(slot, {{QueueValue::Get, text(url)},
               {QueueValue::Local, text(localPath)},
               {QueueValue::Start, number(start, 0)},
               {QueueValue::WindowX, number(windowX, -1)},
               {QueueValue::WindowY, number(windowY, -1)},
               {QueueValue::Minimized, number(minimized ? 1 : 0, 0)},
               {QueueValue::LastMod, text(lastModified)},
               {QueueValue::StupidServer, number(stupidServer, 0)},
               {QueueValue::FTPMarker, ProfileData()},
               {QueueValue::Pieces, text(pieces)}});
}

bool QueueEntry::exists(const std::string& slot) {
  return !AfxGetApp()->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Get), "").empty();
}

void QueueEntry::remove(const std::string& slot) {
  if (slot.empty()) return;
  std::vector<ProfileValue> none;
  for (const auto& n : kValueNames) none.push_back({n.name + slot, ProfileData()});
  AfxGetApp()->WriteProfileValues(kSectionFileQueue, none);
}

void QueueEntry::write(const std::string& slot, std::initializer_list<std::pair<QueueValue, ProfileData>> values) {
  if (slot.empty()) return;
  std::vector<ProfileValue> named;
  for (const auto& [v, data] : values) named.push_back({nameOf(slot, v), data});
  AfxGetApp()->WriteProfileValues(kSectionFileQueue, named);
}

void QueueEntry::write(const std::string& slot, QueueValue v, std::int64_t value) {
  AfxGetApp()->WriteProfileInt(kSectionFileQueue, nameOf(slot, v), value);
}

void QueueEntry::write(const std::string& slot, QueueValue v, const std::string& value) {
  AfxGetApp()->WriteProfileString(kSectionFileQueue, nameOf(slot, v), value);
}

void QueueEntry::clear(const std::string& slot, QueueValue v) {
  AfxGetApp()->WriteProfileString(kSectionFileQueue, nameOf(slot, v), nullptr);
}

std::int64_t QueueEntry::readInt(const std::string& slot, QueueValue v, std::int64_t def) {
  return AfxGetApp()->GetProfileInt(kSectionFileQueue, nameOf(slot, v), def);
}
