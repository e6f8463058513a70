#include "platform/drop.h"

#include "platform/wnd.h"

COleDropTarget::~COleDropTarget() { Revoke(); }

bool COleDropTarget::Register(CDialog* window) {
  Revoke();
  m_window = window;
  if (window) window->SetDropTarget(this);
  return window != nullptr;
}

void COleDropTarget::Revoke() {
  if (m_window) m_window->SetDropTarget(nullptr);
  m_window = nullptr;
}
