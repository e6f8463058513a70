#include "ui/overview_dlg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/app.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/text.h"
#include "queue/queue_entry.h"
#include "queue/scheduler.h"
#include "resources/ids.h"
#include "settings/options.h"
#include "transfer/url.h"
#include "ui/enter_url_dlg.h"

using namespace res;

namespace {
constexpr const char* kSectionOverview = "Overview";
enum Column { Number, File, Size, Done, Rate, Left, State, Connections, Url };
constexpr int kMaxTotalSpeedK = 1000000;  // as the configuration's speed limit

// A field's whole number from lo to hi, or nullopt (as it is being typed: said nothing).
std::optional<int> fieldNumber(const std::string& text, int lo, int hi) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  while (end && *end == ' ') ++end;
  if (text.empty() || !end || *end != '\0' || n < lo || n > hi) return std::nullopt;
  return static_cast<int>(n);
}

std::string stateWords(const COverviewDlg::Line& l) {
  const OverviewRow& r = l.row;
  if (l.finished) return phaseText(JobPhase::Finished);
  switch (r.phase) {
    case JobPhase::Receiving:
      // Nothing comes: said so, with for how long, rather than an empty rate.
      if (r.rate == 0 && l.idleFor > 0) return "No data for " + std::to_string(l.idleFor) + " s";
      break;
    case JobPhase::Waiting: {
      std::int64_t in = r.retryAt - static_cast<std::int64_t>(std::time(nullptr));
      return in > 0 ? "Trying again in " + clockText(in) : "Trying again";
    }
    case JobPhase::Failed:
      // Why, on one line: a name or a server's words may hold anything.
      if (!r.reason.empty()) return std::string(phaseText(r.phase)) + ": " + escapedText(r.reason);
      break;
    default: break;
  }
  return phaseText(r.phase);
}

int percentOf(const OverviewRow& r) { return r.size > 0 ? static_cast<int>(std::min<std::int64_t>(100, r.done * 100 / r.size)) : -1; }

// The sort key of a column: numbers compare as numbers.
bool before(const COverviewDlg::Line& a, const COverviewDlg::Line& b, int column) {
  auto key = [column](const COverviewDlg::Line& l) -> std::pair<std::int64_t, std::string> {
    const OverviewRow& r = l.row;
    switch (column) {
      case Number: return {std::strtoll(r.slot.c_str(), nullptr, 10), ""};
      case Size: return {r.size, ""};
      case Done: return {percentOf(r), ""};
      case Rate: return {r.rate, ""};
      case Left: return {r.secondsLeft() < 0 ? INT64_MAX : r.secondsLeft(), ""};
      case Connections: return {r.connections, ""};
      default: return {0, COverviewDlg::cellsOf(l)[static_cast<std::size_t>(column)]};
    }
  };
  return key(a) < key(b);
}
}  // namespace

COverviewDlg::COverviewDlg() : CDialog(IDD_OVERVIEW) {}

bool COverviewDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<COverviewDlg> kMessages[] = {{WM_TIMER, &COverviewDlg::OnTimer},
                                                         {WM_SIZE, &COverviewDlg::OnSize}};
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool COverviewDlg::OnCmdMsg(int id) {
  static const CommandEntry<COverviewDlg> kCommands[] = {
      {IDC_OVERVIEW_RESUME, &COverviewDlg::OnResume}, {IDC_OVERVIEW_PAUSE, &COverviewDlg::OnPause},
      {IDC_OVERVIEW_REMOVE, &COverviewDlg::OnRemove}, {IDC_OVERVIEW_OPEN, &COverviewDlg::OnOpen},
      {IDOK, &COverviewDlg::OnOpen},                  {IDC_OVERVIEW_FOLDER, &COverviewDlg::OnFolder},
      {IDC_OVERVIEW_LIST, &COverviewDlg::OnSort},
      {IDC_OVERVIEW_START_NOW, &COverviewDlg::OnStartNow},
      {IDC_OVERVIEW_MOVE_UP, &COverviewDlg::OnMoveUp},
      {IDC_OVERVIEW_MOVE_DOWN, &COverviewDlg::OnMoveDown},
      {IDC_OVERVIEW_ADD_URL, &COverviewDlg::OnAddUrl},
      {IDC_OVERVIEW_RESUME_ALL, &COverviewDlg::OnResumeAll},
      {IDC_OVERVIEW_PAUSE_ALL, &COverviewDlg::OnPauseAll},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

bool COverviewDlg::OnInitDialog() {
  m_maxActive = static_cast<int>(std::clamp<std::int64_t>(ConfigInt(kMaxActive), 1, kMaxMaxActive));
  m_totalSpeedK = static_cast<int>(std::clamp<std::int64_t>(ConfigInt(kTotalMaxSpeed) / 1024, 0, kMaxTotalSpeedK));
  CDialog::OnInitDialog();
  SetIcon(IDR_MAINFRAME);
  CWinApp* app = AfxGetApp();
  // The size the user left it at.
  int w = static_cast<int>(app->GetProfileInt(kSectionOverview, "Width", 0));
  int h = static_cast<int>(app->GetProfileInt(kSectionOverview, "Height", 0));
  if (w > 0 && h > 0) SetClientSize(std::max(w, Width()), std::max(h, Height()));
  Control(IDC_OVERVIEW_LIST)->barColumn = Done;
  m_dropTarget.Register(this);
  refresh();
  SetTimer(1, 1000);
  return true;
}

LRESULT COverviewDlg::OnTimer(WPARAM, LPARAM) {
  refresh();
  return 0;
}

LRESULT COverviewDlg::OnSize(WPARAM wParam, LPARAM lParam) {
  if (wParam != SIZE_RESTORED || lParam == 0) return 0;
  AfxGetApp()->WriteProfileInt(kSectionOverview, "Width", LOWORD_S(lParam));
  AfxGetApp()->WriteProfileInt(kSectionOverview, "Height", HIWORD_S(lParam));
  return 0;
}

void COverviewDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, IDC_OVERVIEW_MAX_ACTIVE, m_maxActive);
  DDV_MinMaxInt(dx, m_maxActive, 1, kMaxMaxActive);
  DDX_Text(dx, IDC_OVERVIEW_TOTAL_SPEED, m_totalSpeedK);
  DDV_MinMaxInt(dx, m_totalSpeedK, 0, kMaxTotalSpeedK);
}

// The two settings are written as soon as a field holds a valid value: the next download to
// start goes by them. A value being typed that is not one yet is left alone.
void COverviewDlg::OnControlChanged(int id) {
  const bool active = id == IDC_OVERVIEW_MAX_ACTIVE;
  if (!active && id != IDC_OVERVIEW_TOTAL_SPEED) return;
  auto n = active ? fieldNumber(ControlText(id), 1, kMaxMaxActive) : fieldNumber(ControlText(id), 0, kMaxTotalSpeedK);
  if (!n) return;
  const char* name = active ? kMaxActive : kTotalMaxSpeed;
  std::int64_t value = active ? *n : std::int64_t{*n} * 1024;
  if (ConfigInt(name) == value) return;
  AfxGetApp()->WriteProfileInt(kSectionConfig, name, value);
  AfxGetApp()->FlushProfile();
}

std::string COverviewDlg::totalsOf(const std::vector<Line>& lines) {
  int running = 0, waiting = 0;
  std::int64_t rate = 0;
  for (const Line& l : lines) {
    if (l.finished) continue;
    // As the limit counts them: a paused download leaves its place to another.
    if (l.row.phase == JobPhase::Pending) ++waiting;
    else if (l.row.running() && l.row.phase != JobPhase::Paused && l.row.phase != JobPhase::Failed) ++running;
    rate += l.row.rate;
  }
  return std::to_string(running) + " running, " + std::to_string(waiting) + " waiting for their turn, " +
         bytesText(rate) + "/s in all";
}

std::vector<std::string> COverviewDlg::cellsOf(const Line& l) {
  const OverviewRow& r = l.row;
  // A name may hold any byte but "/": tabs and line breaks are shown as escapes.
  std::string file = r.file.empty() ? "" : escapedText(r.file.substr(r.file.rfind('/') + 1));
  int percent = percentOf(r);
  std::string done = bytesText(r.done) + (percent >= 0 ? " (" + std::to_string(percent) + "%)" : "");
  // A finished download's entry has gone: its number names nothing now, and may be another's.
  return {l.finished ? std::string() : "#" + r.slot,
          file,
          r.size > 0 ? bytesText(r.size) : "",
          done,
          r.rate > 0 ? bytesText(r.rate) + "/s" : "",
          l.finished ? "" : clockText(r.secondsLeft()),
          stateWords(l),
          r.running() && r.phase != JobPhase::Pending ? std::to_string(r.connections) : "",
          escapedText(r.url)};
}

void COverviewDlg::refresh() {
  std::vector<OverviewRow> rows = readOverview();
  // Which lines were selected, by slot and address, so that the selection follows them.
  std::vector<std::pair<std::string, std::string>> picked;
  for (const Line* l : selectedLines()) picked.emplace_back(l->row.slot, l->row.url);
  std::vector<Line> next;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> moved;
  for (auto& r : rows) {
    // A rate of 0 means no byte in the last second at least.
    auto it = m_lastMoved.find(r.slot);
    auto& last = moved[r.slot];
    last = it != m_lastMoved.end() && it->second.first == r.done ? it->second
                                                                  : std::pair(r.done, now - (r.rate > 0 ? 0 : 1));
    bool finished = r.phase == JobPhase::Finished;
    std::int64_t idle = r.phase == JobPhase::Receiving && r.rate == 0 ? std::max<std::int64_t>(1, now - last.second) : 0;
    next.push_back({std::move(r), finished, idle});
  }
  m_lastMoved = std::move(moved);
  // A download that said it finished, then took its entry away, stays listed as finished.
  // Only its word counts: a reserved file has its full size from the start, so the file
  // says nothing, and an entry that went without that word failed or was removed.
  for (const Line& was : m_lines) {
    bool still = std::any_of(next.begin(), next.end(), [&](const Line& n) {
      return n.row.slot == was.row.slot && n.row.url == was.row.url;
    });
    bool said = was.finished || was.row.phase == JobPhase::Finished ||
                displayUrl(QueueEntry::finishedIn(was.row.slot)) == was.row.url;
    if (still || !said) continue;
    Line f = was;
    f.finished = true;
    f.row.rate = 0;
    f.row.pid = 0;
    f.row.connections = 0;
    // Complete: the file's size is the download's, when it finished before it said one.
    if (f.row.size <= 0 && !f.row.file.empty() && FileExists(f.row.file)) f.row.size = FileSize(f.row.file);
    if (f.row.size > 0) f.row.done = f.row.size;
    next.push_back(std::move(f));
  }
  ControlState* list = Control(IDC_OVERVIEW_LIST);
  if (list->sortColumn >= 0) {
    int column = list->sortColumn;
    std::stable_sort(next.begin(), next.end(), [&](const Line& a, const Line& b) {
      return list->sortDescending ? before(b, a, column) : before(a, b, column);
    });
  }
  m_lines = std::move(next);
  list->rows.clear();
  list->bars.clear();
  list->selected.clear();
  for (std::size_t i = 0; i < m_lines.size(); ++i) {
    const Line& l = m_lines[i];
    list->rows.push_back(cellsOf(l));
    list->bars.push_back(l.finished ? 100 : percentOf(l.row));
    if (std::find(picked.begin(), picked.end(), std::make_pair(l.row.slot, l.row.url)) != picked.end())
      list->selected.push_back(static_cast<int>(i));
  }
  ChangedControl(IDC_OVERVIEW_LIST);
  SetControlText(IDC_OVERVIEW_TOTALS, totalsOf(m_lines));
}

std::vector<const COverviewDlg::Line*> COverviewDlg::selectedLines() const {
  std::vector<const Line*> out;
  const ControlState* list = Control(IDC_OVERVIEW_LIST);
  for (int i : list->selected)
    if (i >= 0 && static_cast<std::size_t>(i) < m_lines.size()) out.push_back(&m_lines[static_cast<std::size_t>(i)]);
  return out;
}

void COverviewDlg::report(const std::vector<std::string>& failures) {
  if (failures.empty()) return;
  std::string text;
  for (const auto& f : failures) text += (text.empty() ? "" : "\n") + f;
  AfxMessageBox(text, MB_ICONEXCLAMATION);
}

// Each running download is asked without waiting for it (a copy that is slow to answer holds
// nothing up); once all have answered, the table is read again and what could not be done is
// said in one box.
struct COverviewDlg::Asking {
  int pending = 0;
  std::vector<std::string> failures;
};

void COverviewDlg::ask(const std::shared_ptr<Asking>& batch, const std::string& slot, ControlAction action,
                       bool deleteFile, std::function<void(const ControlAnswer&, Asking&)> judge) {
  ++batch->pending;
  controlEntryAsync(slot, action, deleteFile,
                    [this, alive = std::weak_ptr<bool>(m_alive), batch, judge = std::move(judge)](ControlAnswer a) {
                      if (alive.expired()) return;  // the window has closed
                      judge(a, *batch);
                      if (--batch->pending == 0) settle(*batch);
                    });
}

void COverviewDlg::settle(Asking& batch) {
  if (IsEnded()) return;
  refresh();
  report(batch.failures);
}

void COverviewDlg::resumeLine(const std::shared_ptr<Asking>& batch, const Line& l, bool inLine) {
  // A queued download starts in a window of its own.
  if (!l.row.running()) return void(startQueuedEntry(l.row.slot, inLine));
  ask(batch, l.row.slot, ControlAction::Resume, false, [slot = l.row.slot, inLine](const ControlAnswer& a, Asking& b) {
    if (!a.done && a.running) b.failures.push_back(a.text);
    // It ended meanwhile: it is queued, and starts as one.
    if (!a.done && !a.running && QueueEntry::exists(slot)) startQueuedEntry(slot, inLine);
  });
}

void COverviewDlg::OnResume() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;  // held until every request is on its way
  for (const Line* l : selectedLines())
    if (!l->finished && !l->row.entryGone) resumeLine(batch, *l, true);  // in line: Start now alone jumps it
  if (--batch->pending == 0) settle(*batch);
}

// Every paused or queued download; those that no process runs take their turns as the limit
// lets them, behind those already waiting.
void COverviewDlg::OnResumeAll() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;
  // In their order in line: each takes its turn before those behind it.
  std::vector<std::string> slots;
  for (const Line& l : m_lines)
    if (!l.finished && resumableRow(l.row)) slots.push_back(l.row.slot);
  for (const auto& slot : inLineOrder(slots))
    for (const Line& l : m_lines)
      if (!l.finished && l.row.slot == slot) resumeLine(batch, l, true);
  if (--batch->pending == 0) settle(*batch);
}

// Every running download, and those waiting for their turn in a copy of their own: a paused
// download leaves its place to the next in line, which would start otherwise.
void COverviewDlg::OnPauseAll() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;
  // Those waiting first (the table lists them last): a running one paused leaves room that
  // none of them may take.
  for (auto at = m_lines.rbegin(); at != m_lines.rend(); ++at) {
    const Line& l = *at;
    if (l.finished || !pausableRow(l.row)) continue;
    ask(batch, l.row.slot, ControlAction::Pause, false, [](const ControlAnswer& a, Asking& b) {
      if (!a.done) b.failures.push_back(a.text);
    });
  }
  if (--batch->pending == 0) settle(*batch);
}

// A waiting download goes ahead of the limit; a queued one that no process runs starts in a
// copy of its own.
void COverviewDlg::OnStartNow() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;
  for (const Line* l : selectedLines()) {
    const OverviewRow& r = l->row;
    if (l->finished) continue;
    if ((r.phase == JobPhase::Queued || r.phase == JobPhase::Failed) && !r.running() && !r.entryGone) {
      startQueuedEntry(r.slot, false);
    } else if (r.phase == JobPhase::Pending) {
      startNow(r.slot);
      // Its copy may have been paused while it waited: the user's word starts it too.
      if (r.running()) ask(batch, r.slot, ControlAction::Resume, false, [](const ControlAnswer&, Asking&) {});
    }
  }
  if (--batch->pending == 0) settle(*batch);
}

// Waiting downloads one place earlier or later in line; several keep their order among them.
void COverviewDlg::moveSelected(int step) {
  std::vector<std::string> slots;
  for (const Line* l : selectedLines())
    if (!l->finished && l->row.phase == JobPhase::Pending) slots.push_back(l->row.slot);
  // In line order, the one moving towards its neighbour first.
  auto line = waitingInOrder();
  auto placeOf = [&](const std::string& s) { return std::find(line.begin(), line.end(), s) - line.begin(); };
  std::sort(slots.begin(), slots.end(), [&](const std::string& a, const std::string& b) {
    return step < 0 ? placeOf(a) < placeOf(b) : placeOf(a) > placeOf(b);
  });
  for (const auto& s : slots) {
    // One already at the end stays, and so does the one that would pass it.
    auto at = placeOf(s);
    auto to = at + step;
    if (to < 0 || to >= static_cast<long>(line.size()) || std::find(slots.begin(), slots.end(), line[static_cast<std::size_t>(to)]) != slots.end())
      continue;
    if (moveInLine(s, step)) std::swap(line[static_cast<std::size_t>(at)], line[static_cast<std::size_t>(to)]);
  }
  refresh();
}

// As Enter URL in the drop window: the download runs in a process of its own.
void COverviewDlg::OnAddUrl() {
  EnterUrlAndStart();
  if (!IsEnded()) refresh();
}

void COverviewDlg::OnPause() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;
  for (const Line* l : selectedLines()) {
    if (l->finished || !l->row.running()) continue;
    ask(batch, l->row.slot, ControlAction::Pause, false, [](const ControlAnswer& a, Asking& b) {
      if (!a.done) b.failures.push_back(a.text);
    });
  }
  if (--batch->pending == 0) settle(*batch);
}

void COverviewDlg::OnRemove() {
  auto picked = selectedLines();
  if (picked.empty()) return;
  std::string what = picked.size() == 1 ? "\"" + cellsOf(*picked[0])[File] + "\""
                                        : std::to_string(picked.size()) + " downloads";
  if (AfxMessageBox("Remove " + what + " from the list?\nA running download is stopped.",
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
    return;
  // Then its file, when it left one: asked apart, and No unless the user says otherwise.
  std::size_t partial = 0;
  for (const Line* l : selectedLines())
    if (!l->finished && !l->row.file.empty() && FileExists(l->row.file)) ++partial;
  bool deleteFiles = partial > 0 && AfxMessageBox(partial == 1 ? std::string("Delete its partial file too?")
                                                                : "Delete the " + std::to_string(partial) + " partial files too?",
                                                  MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION) == IDYES;
  std::vector<std::pair<std::string, std::string>> gone;
  auto batch = std::make_shared<Asking>();
  ++batch->pending;
  for (const Line* l : selectedLines()) {
    gone.emplace_back(l->row.slot, l->row.url);
    if (l->finished) continue;
    ask(batch, l->row.slot, ControlAction::Forget, deleteFiles, [](const ControlAnswer& a, Asking& b) {
      if (!a.done) b.failures.push_back(a.text);
    });
  }
  std::erase_if(m_lines, [&](const Line& l) {
    return l.finished && std::find(gone.begin(), gone.end(), std::make_pair(l.row.slot, l.row.url)) != gone.end();
  });
  Control(IDC_OVERVIEW_LIST)->selected.clear();
  if (--batch->pending == 0) settle(*batch);
}

void COverviewDlg::OnOpen() {
  for (const Line* l : selectedLines())
    if (!l->row.file.empty() && !OpenDocument(l->row.file)) report({"Cannot open " + l->row.file});
}

void COverviewDlg::OnFolder() {
  for (const Line* l : selectedLines()) {
    std::string folder = l->row.file.substr(0, l->row.file.rfind('/') + 1);
    if (!folder.empty() && !OpenDocument(folder)) report({"Cannot open " + folder});
  }
}

void COverviewDlg::OnSort() { refresh(); }
