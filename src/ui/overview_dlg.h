#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/wnd.h"
#include "engine/overview.h"
#include "ui/link_drop_target.h"

// Downloads: every queued and running download in one table, read from the store once a
// second, with how many run and wait and their rate in all; resumes, pauses, removes, opens,
// starts a waiting one now or moves it in line; a URL entered or a link dropped on it starts a
// new download. How many run at once and their total speed limit are edited here too. A
// download that finishes while the window is open stays listed, marked finished.
class COverviewDlg : public CDialog {
 public:
  COverviewDlg();
  bool OnInitDialog() override;

  // One line of the table: a row of the store, or one that finished meanwhile.
  struct Line {
    OverviewRow row;
    bool finished = false;
    std::int64_t idleFor = 0;  // seconds without a byte, as this window saw it (receiving, no rate)
  };
  const std::vector<Line>& lines() const { return m_lines; }
  // Reads the store and shows it (the timer does this once a second).
  void refresh();
  // The columns' texts of a line, as the table shows them.
  static std::vector<std::string> cellsOf(const Line& l);
  // The totals line: how many run, how many wait for their turn, their rate in all.
  static std::string totalsOf(const std::vector<Line>& lines);
  void DoDataExchange(CDataExchange& dx) override;
  void OnControlChanged(int id) override;

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;

 private:
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnSize(WPARAM wParam, LPARAM lParam);
  void OnResume();
  void OnPause();
  void OnRemove();
  void OnOpen();
  void OnFolder();
  void OnSort();
  void OnStartNow();
  void OnMoveUp() { moveSelected(-1); }
  void OnMoveDown() { moveSelected(+1); }
  void moveSelected(int step);
  void OnAddUrl();
  void OnResumeAll();
  void OnPauseAll();
  std::vector<const Line*> selectedLines() const;
  struct Asking;
  void ask(const std::shared_ptr<Asking>& batch, const std::string& slot, ControlAction action, bool deleteFile,
           std::function<void(const ControlAnswer&, Asking&)> judge);
  void settle(Asking& batch);
  // Resumes a line's download: its copy over the control channel, else a copy of its own
  // (waiting for its turn when inLine).
  void resumeLine(const std::shared_ptr<Asking>& batch, const Line& l, bool inLine);
  // Tells the user what could not be done, in one box.
  void report(const std::vector<std::string>& failures);

  int m_maxActive = 0;     // the settings as the fields show them
  int m_totalSpeedK = 0;  // TotalMaxSpeed in K/sec, 0 none
  std::vector<Line> m_lines;
  // Per slot: the bytes done when they last moved, and when that was (seconds since 1970).
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> m_lastMoved;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);  // answers that come later look
  CLinkDropTarget m_dropTarget;
};
