#include "ui/headers_dlg.h"

#include "platform/services.h"
#include "resources/ids.h"

CHeadersDlg::CHeadersDlg() : CDialog(res::IDD_HEADERS) {}

void CHeadersDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, res::IDC_HEADERS_TEXT, m_text);
}

bool CHeadersDlg::OnCmdMsg(int id) {
  static const CommandEntry<CHeadersDlg> kCommands[] = {{ID_EDIT_COPY, &CHeadersDlg::OnCopyAll}};
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

void CHeadersDlg::OnCopyAll() {
  if (!SetClipboardText(m_text)) AfxMessageBox(res::IDS_CLIPBOARD_SET_FAILED);
}
