#pragma once
#include "platform/drop.h"

// A link dropped on a window starts a new download process for it.
class CLinkDropTarget : public COleDropTarget {
 public:
  int OnDragEnter(const DropData& data) override;
  int OnDragOver(const DropData& data) override;
  bool OnDrop(const DropData& data) override;
};
