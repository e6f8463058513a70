#pragma once
#include <vector>

#include "platform/wnd.h"

// Lists the queued downloads; resumes or deletes them.
class CResumeDlg : public CDialog {
 public:
  CResumeDlg();
  bool OnInitDialog() override;
  void DoDataExchange(CDataExchange& dx) override;
  CCtl m_list;

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;

 private:
  LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
  void OnResume();
  void OnResumeAll();
  void OnDelete();
  void OnDeleteAll();
  void OnHelp();
  // Removes the entries of these list items and the items, but for entries running elsewhere.
  void removeItems(std::vector<int> indexes);
};
