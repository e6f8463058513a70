#include "ui/overview_dlg.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/app.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/text.h"
#include "queue/queue_entry.h"
#include "resources/ids.h"
#include "transfer/url.h"

using namespace res;

namespace {
constexpr const char* kSectionOverview = "Overview";
enum Column { File, Size, Done, Rate, Left, State, Connections, Url };

std::string stateWords(const COverviewDlg::Line& l) {
  const OverviewRow& r = l.row;
  if (l.finished) return "Finished";
  // Receiving and nothing comes: said so, with for how long, rather than an empty rate.
  if (r.state == "receiving" && r.rate == 0 && l.idleFor > 0) return "No data for " + std::to_string(l.idleFor) + " s";
  if (r.state == "receiving") return "Receiving";
  if (r.state == "finished") return "Finished";
  if (r.state == "connecting") return "Connecting";
  if (r.state == "paused") return "Paused";
  if (r.state == "asking") return "Waiting for an answer";
  if (r.state == "starting") return "Starting";
  if (r.state == "pending") return "Waiting for its turn";
  if (r.state == "waiting") {
    std::int64_t in = r.retryAt - static_cast<std::int64_t>(std::time(nullptr));
    return in > 0 ? "Trying again in " + clockText(in) : "Trying again";
  }
  return "Queued";
}

int percentOf(const OverviewRow& r) { return r.size > 0 ? static_cast<int>(std::min<std::int64_t>(100, r.done * 100 / r.size)) : -1; }

// The sort key of a column: numbers compare as numbers.
bool before(const COverviewDlg::Line& a, const COverviewDlg::Line& b, int column) {
  auto key = [column](const COverviewDlg::Line& l) -> std::pair<std::int64_t, std::string> {
    const OverviewRow& r = l.row;
    switch (column) {
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
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

bool COverviewDlg::OnInitDialog() {
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

std::vector<std::string> COverviewDlg::cellsOf(const Line& l) {
  const OverviewRow& r = l.row;
  // A name may hold any byte but "/": tabs and line breaks are shown as escapes.
  std::string file = r.file.empty() ? "#" + r.slot : escapedText(r.file.substr(r.file.rfind('/') + 1));
  int percent = percentOf(r);
  std::string done = bytesText(r.done) + (percent >= 0 ? " (" + std::to_string(percent) + "%)" : "");
  return {file,
          r.size > 0 ? bytesText(r.size) : "",
          done,
          r.rate > 0 ? bytesText(r.rate) + "/s" : "",
          l.finished ? "" : clockText(r.secondsLeft()),
          stateWords(l),
          r.running() ? std::to_string(r.connections) : "",
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
    bool finished = r.state == "finished";
    std::int64_t idle = r.state == "receiving" && r.rate == 0 ? std::max<std::int64_t>(1, now - last.second) : 0;
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
    bool said = was.finished || was.row.state == "finished" ||
                displayUrl(QueueEntry::finishedIn(was.row.slot)) == was.row.url;
    if (still || !said) continue;
    Line f = was;
    f.finished = true;
    f.row.rate = 0;
    f.row.pid = 0;
    f.row.connections = 0;
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

void COverviewDlg::OnResume() {
  auto batch = std::make_shared<Asking>();
  ++batch->pending;  // held until every request is on its way
  for (const Line* l : selectedLines()) {
    if (l->finished) continue;
    if (!l->row.running()) {
      WinExec("TARNWICK.EXE #" + l->row.slot);  // a queued download starts in a window of its own
      continue;
    }
    ask(batch, l->row.slot, ControlAction::Resume, false, [slot = l->row.slot](const ControlAnswer& a, Asking& b) {
      if (!a.done && a.running) b.failures.push_back(a.text);
      // It ended meanwhile: it is queued, and starts as one.
      if (!a.done && !a.running && QueueEntry::exists(slot)) WinExec("TARNWICK.EXE #" + slot);
    });
  }
  if (--batch->pending == 0) settle(*batch);
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
