#pragma once
#include "platform/wnd.h"
#include "resources/ids.h"
#include "ui/link_drop_target.h"

// The small window that links are dropped on.
class CDropWnd : public CDialog {
 public:
  CDropWnd();
  CLinkDropTarget m_dropTarget;
  CCtl m_dropText;
  int m_hIcon = res::IDI_DROP_TARGET;
  int m_initialized = 0;
  int m_smallSize = 0;
  int m_onTop = 0;
  int m_fullWidth = 0;
  int m_fullHeight = 0;

  void DoDataExchange(CDataExchange& dx) override;
  bool OnInitDialog() override;

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
  LRESULT OnMove(WPARAM wParam, LPARAM lParam);
  LRESULT OnSize(WPARAM wParam, LPARAM lParam);
  LRESULT OnLButtonDblClk(WPARAM, LPARAM);
  LRESULT OnRButtonDblClk(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM) { return m_hIcon; }
  void toggleSize();
  void toggleTop();
  void applySize();
};
