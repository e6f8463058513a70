// Drag and drop of plain text onto a window.
#pragma once
#include <string>

class CDialog;

constexpr int DROPEFFECT_NONE = 0;
constexpr int DROPEFFECT_LINK = 4;

// What is being dragged: whether it offers plain text (text/plain or text/uri-list), and the text.
struct DropData {
  bool hasText = false;
  std::string text;
};

class COleDropTarget {
 public:
  virtual ~COleDropTarget();
  bool Register(CDialog* window);
  void Revoke();
  CDialog* Window() const { return m_window; }

  virtual int OnDragEnter(const DropData& data) { (void)data; return DROPEFFECT_NONE; }
  virtual int OnDragOver(const DropData& data) { (void)data; return DROPEFFECT_NONE; }
  virtual bool OnDrop(const DropData& data) { (void)data; return false; }

 private:
  CDialog* m_window = nullptr;
};
