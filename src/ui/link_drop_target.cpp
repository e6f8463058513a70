#include "ui/link_drop_target.h"

#include "platform/services.h"

int CLinkDropTarget::OnDragEnter(const DropData& data) { return data.hasText ? DROPEFFECT_LINK : DROPEFFECT_NONE; }
int CLinkDropTarget::OnDragOver(const DropData& data) { return data.hasText ? DROPEFFECT_LINK : DROPEFFECT_NONE; }

bool CLinkDropTarget::OnDrop(const DropData& data) {
  // The text is handed on unchanged: the new process judges it.
  WinExec("TARNWICK.EXE " + data.text);
  return true;
}
