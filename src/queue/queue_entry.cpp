#include "queue/queue_entry.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "platform/services.h"
#include "queue/queue_store.h"
#include "settings/options.h"
#include "transfer/url.h"

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
    {QueueValue::Checksum, "Checksum"},
    {QueueValue::NameFromServer, "NameFromServer"},
    {QueueValue::Pieces, "Pieces"},
    {QueueValue::ETag, "ETag"},
    {QueueValue::Request, "Request"},
    {QueueValue::Name, "Name"},
    {QueueValue::NewFile, "NewFile"},
    {QueueValue::Total, "Total"},
    {QueueValue::Turn, "Turn"},
    {QueueValue::StartNow, "StartNow"},
    {QueueValue::Batch, "Batch"},
    {QueueValue::Size, "Size"},
    {QueueValue::Done, "Done"},
    {QueueValue::Rate, "Rate"},
    {QueueValue::Phase, "Phase"},
    {QueueValue::RetryAt, "RetryAt"},
    {QueueValue::Connections, "Connections"},
    {QueueValue::Reason, "Reason"},
};

std::string nameOf(const std::string& slot, QueueValue v) {
  for (const auto& n : kValueNames)
    if (n.value == v) return n.name + slot;
  return std::string();
}

std::vector<std::pair<QueueValue, ProfileData>> liveValues(const LiveState& l) {
  auto number = [](std::int64_t v) { return v == 0 ? ProfileData() : ProfileData(v); };
  return {{QueueValue::Size, number(l.size)},
          {QueueValue::Done, number(l.done)},
          {QueueValue::Rate, number(l.rate)},
          {QueueValue::Phase, l.phase == JobPhase::Idle ? ProfileData() : ProfileData(std::string(phaseWord(l.phase)))},
          {QueueValue::RetryAt, number(l.retryAt)},
          {QueueValue::Connections, number(l.connections)},
          {QueueValue::Reason, l.reason.empty() ? ProfileData() : ProfileData(l.reason)}};
}

std::int64_t asInt(const ProfileData& d) {
  if (const auto* n = std::get_if<std::int64_t>(&d)) return *n;
  if (const auto* t = std::get_if<std::string>(&d)) return std::strtoll(t->c_str(), nullptr, 10);
  return 0;
}

std::string asText(const ProfileData& d) {
  if (const auto* t = std::get_if<std::string>(&d)) return *t;
  if (const auto* n = std::get_if<std::int64_t>(&d)) return std::to_string(*n);
  return std::string();
}

// One stored value into its field: the one place that maps names to fields.
void assign(QueueEntry& e, QueueValue v, const ProfileData& d) {
  switch (v) {
    case QueueValue::Get: e.url = asText(d); break;
    case QueueValue::Local: e.localPath = asText(d); break;
    case QueueValue::Start: e.start = asInt(d); break;
    case QueueValue::WindowX: e.windowX = asInt(d); break;
    case QueueValue::WindowY: e.windowY = asInt(d); break;
    case QueueValue::Minimized: e.minimized = asInt(d) != 0; break;
    case QueueValue::LastMod: e.lastModified = asText(d); break;
    case QueueValue::StupidServer: e.stupidServer = static_cast<int>(asInt(d)); break;
    case QueueValue::FTPMarker: break;
    case QueueValue::Checksum: e.checksum = asText(d); break;
    case QueueValue::NameFromServer: e.nameFromServer = asInt(d) != 0; break;
    case QueueValue::Pieces: e.pieces = asText(d); break;
    case QueueValue::ETag: e.etag = asText(d); break;
    case QueueValue::Request: e.request = asText(d); break;
    case QueueValue::Name: e.name = asText(d); break;
    case QueueValue::NewFile: e.newFile = static_cast<int>(asInt(d)); break;
    case QueueValue::Total: e.total = asInt(d); break;
    case QueueValue::Turn: e.turn = asInt(d); break;
    case QueueValue::StartNow: e.startNow = asInt(d) != 0; break;
    case QueueValue::Batch: e.batch = asText(d); break;
    case QueueValue::Size: e.live.size = asInt(d); break;
    case QueueValue::Done: e.live.done = asInt(d); break;
    case QueueValue::Rate: e.live.rate = asInt(d); break;
    case QueueValue::Phase: e.live.phase = phaseOf(asText(d)); break;
    case QueueValue::RetryAt: e.live.retryAt = asInt(d); break;
    case QueueValue::Connections: e.live.connections = static_cast<int>(asInt(d)); break;
    case QueueValue::Reason: e.live.reason = asText(d); break;
  }
}

bool writeNamed(const std::string& slot, const std::vector<std::pair<QueueValue, ProfileData>>& values) {
  if (slot.empty()) return false;
  std::vector<ProfileValue> named;
  for (const auto& [v, data] : values) named.push_back({nameOf(slot, v), data});
  return AfxGetApp()->WriteProfileValues(kSectionFileQueue, named);
}
}  // namespace

std::string slotText(int slot) { return Format("%02i", slot); }

QueueEntry QueueEntry::load(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  QueueEntry e;
  e.slot = slot;
  auto read = [&] {
    for (const auto& n : kValueNames) {
      // Absent values keep their defaults (WindowX -1, ...); numbers read as their text.
      std::string text = app->GetProfileString(kSectionFileQueue, n.name + slot, "");
      if (!text.empty()) assign(e, n.value, ProfileData(text));
    }
  };
  // In one read transaction: a consistent record that holds back no writer.
  app->ProfileReading(read);
  return e;
}

void QueueEntry::save() const {
  auto text = [](const std::string& s) { return s.empty() ? ProfileData() : ProfileData(s); };
  auto number = [](std::int64_t v, std::int64_t absent) { return v == absent ? ProfileData() : ProfileData(v); };
  auto values = liveValues(live);
  values.insert(values.begin(), {{QueueValue::Get, text(url)},
                                 {QueueValue::Local, text(localPath)},
                                 {QueueValue::Start, number(start, 0)},
                                 {QueueValue::WindowX, number(windowX, -1)},
                                 {QueueValue::WindowY, number(windowY, -1)},
                                 {QueueValue::Minimized, number(minimized ? 1 : 0, 0)},
                                 {QueueValue::LastMod, text(lastModified)},
                                 {QueueValue::StupidServer, number(stupidServer, 0)},
                                 {QueueValue::FTPMarker, ProfileData()},
                                 {QueueValue::Checksum, text(checksum)},
                                 {QueueValue::NameFromServer, number(nameFromServer ? 1 : 0, 0)},
                                 {QueueValue::Pieces, text(pieces)},
                                 {QueueValue::ETag, text(etag)},
                                 {QueueValue::Request, text(request)},
                                 {QueueValue::Name, text(name)},
                                 {QueueValue::NewFile, number(newFile, 0)},
                                 {QueueValue::Total, number(total, 0)},
                                 {QueueValue::Turn, number(turn, 0)},
                                 {QueueValue::StartNow, number(startNow ? 1 : 0, 0)},
                                 {QueueValue::Batch, text(batch)}});
  writeNamed(slot, values);
}

std::vector<QueueEntry> QueueEntry::loadAll() {
  std::map<long, QueueEntry> slots;
  for (const auto& row : AfxGetApp()->GetProfileSection(kSectionFileQueue)) {
    // Names are the value's name and the slot's digits (two, or more past 99).
    std::size_t digits = row.name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(row.name[digits - 1]))) --digits;
    if (row.name.size() - digits < 2 || row.name.size() - digits > 9) continue;
    std::string slot = row.name.substr(digits), name = row.name.substr(0, digits);
    const ValueName* n = std::find_if(std::begin(kValueNames), std::end(kValueNames),
                                      [&](const ValueName& v) { return name == v.name; });
    if (n == std::end(kValueNames) || slot != slotText(std::stoi(slot))) continue;
    QueueEntry& e = slots[std::stol(slot)];
    e.slot = slot;
    assign(e, n->value, row.data);
  }
  std::vector<QueueEntry> entries;
  entries.reserve(slots.size());
  for (auto& [number, e] : slots)
    if (!e.url.empty()) entries.push_back(std::move(e));
  return entries;
}

bool QueueEntry::publish(const std::string& slot, std::optional<std::int64_t> start, const LiveState& live) {
  // A removed entry costs no write transaction.
  if (slot.empty() || !exists(slot)) return true;
  return AfxGetApp()->ProfileTransaction([&] {
    if (!exists(slot)) return;
    auto values = liveValues(live);
    if (start) {
      values.emplace_back();
      values.back().first = QueueValue::Start;
      values.back().second.emplace<std::int64_t>(*start);
    }
    writeNamed(slot, values);
  });
}

bool QueueEntry::exists(const std::string& slot) {
  return !AfxGetApp()->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Get), "").empty();
}



namespace {
constexpr const char* kSectionFinished = "Finished";
constexpr const char* kSectionFailed = "Failed";  // Get05, Local05, Reason05
}

void QueueEntry::remove(const std::string& slot) {
  if (slot.empty()) return;
  std::vector<ProfileValue> none;
  for (const auto& n : kValueNames) none.push_back({n.name + slot, ProfileData()});
  AfxGetApp()->ProfileTransaction([&] {
    AfxGetApp()->WriteProfileValues(kSectionFileQueue, none);
    // Whatever ended in the slot before is no word on what is removed now.
    AfxGetApp()->WriteProfileString(kSectionFinished, slot, nullptr);
    forgetFailed(slot);
    slotFreed(slot);
  });
}

void QueueEntry::removeFinished(const std::string& slot) {
  if (slot.empty()) return;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    std::string url = app->GetProfileString(kSectionFileQueue, nameOf(slot, QueueValue::Get), "");
    remove(slot);
    // Only as it may be shown: a password outlives no download it was given for.
    if (!url.empty()) app->WriteProfileString(kSectionFinished, slot, displayUrl(url));
  });
}

std::string QueueEntry::finishedIn(const std::string& slot) {
  return AfxGetApp()->GetProfileString(kSectionFinished, slot, "");
}

void QueueEntry::recordFailed(const std::string& slot, const std::string& url, const std::string& localPath,
                              const std::string& reason) {
  if (slot.empty() || url.empty()) return;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (exists(slot)) return;
    auto text = [](const std::string& t) { return t.empty() ? ProfileData() : ProfileData(t); };
    app->WriteProfileValues(kSectionFailed, {{"Get" + slot, text(url)},
                                             {"Local" + slot, text(localPath)},
                                             {"Reason" + slot, text(reason)}});
  });
}

std::vector<QueueEntry::Failed> QueueEntry::failed() {
  std::map<long, Failed> bySlot;
  for (const auto& row : AfxGetApp()->GetProfileSection(kSectionFailed)) {
    std::size_t digits = row.name.find_first_of("0123456789");
    if (digits == std::string::npos || row.name.find_first_not_of("0123456789", digits) != std::string::npos) continue;
    std::string slot = row.name.substr(digits), name = row.name.substr(0, digits);
    Failed& f = bySlot[std::stol(slot)];
    f.slot = slot;
    if (name == "Get") f.url = asText(row.data);
    else if (name == "Local") f.localPath = asText(row.data);
    else if (name == "Reason") f.reason = asText(row.data);
  }
  std::vector<Failed> out;
  for (auto& [n, f] : bySlot)
    if (!f.url.empty()) out.push_back(std::move(f));
  return out;
}

bool QueueEntry::hasFailed(const std::string& slot) {
  return !AfxGetApp()->GetProfileString(kSectionFailed, "Get" + slot, "").empty();
}

bool QueueEntry::forgetFailed(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  // Looked at first: most slots hold no such word, and a look costs no write.
  if (!hasFailed(slot)) return false;
  app->ProfileTransaction([&] {
    app->WriteProfileValues(kSectionFailed, {{"Get" + slot, ProfileData()}, {"Local" + slot, ProfileData()},
                                             {"Reason" + slot, ProfileData()}});
    if (!exists(slot)) slotFreed(slot);
  });
  return true;
}

bool QueueEntry::write(const std::string& slot, std::initializer_list<std::pair<QueueValue, ProfileData>> values) {
  return writeNamed(slot, values);
}

void QueueEntry::write(const std::string& slot, QueueValue v, std::int64_t value) {
  if (slot.empty()) return;  // a download with no entry (standard output) keeps nothing
  AfxGetApp()->WriteProfileInt(kSectionFileQueue, nameOf(slot, v), value);
}

void QueueEntry::write(const std::string& slot, QueueValue v, const std::string& value) {
  if (slot.empty()) return;
  AfxGetApp()->WriteProfileString(kSectionFileQueue, nameOf(slot, v), value);
}

void QueueEntry::clear(const std::string& slot, QueueValue v) {
  if (slot.empty()) return;
  AfxGetApp()->WriteProfileString(kSectionFileQueue, nameOf(slot, v), nullptr);
}

std::int64_t QueueEntry::readInt(const std::string& slot, QueueValue v, std::int64_t def) {
  return AfxGetApp()->GetProfileInt(kSectionFileQueue, nameOf(slot, v), def);
}

std::string QueueEntry::readText(const std::string& slot, QueueValue v) {
  return AfxGetApp()->GetProfileString(kSectionFileQueue, nameOf(slot, v), "");
}

std::map<std::string, std::string> QueueEntry::readEvery(QueueValue v) {
  std::map<std::string, std::string> bySlot;
  std::string name = nameOf("", v);
  for (const auto& row : AfxGetApp()->GetProfileSection(kSectionFileQueue, name)) {
    std::string slot = row.name.substr(name.size());
    // Another value whose name begins with this one's ("Start", "StartNow") is not it.
    if (slot.size() < 2 || slot.find_first_not_of("0123456789") != std::string::npos) continue;
    bySlot[slot] = asText(row.data);
  }
  return bySlot;
}
