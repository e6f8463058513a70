// Resources as data: the string table, dialog templates and menus. Their ids are named in
// resources/ids.h.
#pragma once
#include <string>
#include <vector>

enum class ControlKind {
  Label,        // static text
  Edit,
  PushButton,
  CheckBox,
  Picture,      // an icon or bitmap
  Progress,
  ListBox,
  Line,         // horizontal or etched line
  Table,        // a list with columns: the text is the headings, separated by tabs
};

// Style bits of a control template; only what the views need.
namespace cs {
constexpr unsigned Centered = 1u << 0;
constexpr unsigned Border = 1u << 1;
constexpr unsigned ReadOnly = 1u << 2;
constexpr unsigned Multiline = 1u << 3;
constexpr unsigned Password = 1u << 4;
constexpr unsigned AutoHScroll = 1u << 5;
constexpr unsigned VScroll = 1u << 6;
constexpr unsigned Sorted = 1u << 7;
constexpr unsigned ExtendedSel = 1u << 8;
constexpr unsigned DefaultButton = 1u << 9;
constexpr unsigned Sunken = 1u << 10;
constexpr unsigned WordWrap = 1u << 11;
constexpr unsigned Bitmap = 1u << 12;
constexpr unsigned AutoVScroll = 1u << 13;
constexpr unsigned Notify = 1u << 14;
}  // namespace cs

constexpr int IDC_STATIC = -1;

struct ControlTemplate {
  int id;
  ControlKind kind;
  std::string text;
  int x, y, cx, cy;
  unsigned style = 0;
  int imageId = 0;  // icon or bitmap resource shown by a picture
};

struct DialogTemplate {
  int id;
  std::string caption;
  int cx, cy;
  bool minimizeBox = false;
  int menuId = 0;
  std::vector<ControlTemplate> controls;
  // Dragged by a press anywhere, with both double-clicks taken as the window's own gestures.
  bool mouseGestures = false;
  // The user may size it: a table grows with it, and what stands below the table keeps its
  // distance from the bottom.
  bool resizable = false;
};

struct MenuItemTemplate {
  std::string text;
  int command;
};
struct MenuTemplate {
  int id;
  std::string popupText;
  std::vector<MenuItemTemplate> items;
};

// A template or menu text without its mnemonic marks ("&&" stands for one ampersand).
std::string StripMnemonics(const std::string& text);

// Text of string id, or empty when the table has none.
const std::string& LoadString(int id);
// The whole table in id order (for tests and the views).
const std::vector<std::pair<int, std::string>>& StringTable();

const DialogTemplate* FindDialogTemplate(int id);
const std::vector<DialogTemplate>& DialogTemplates();
const MenuTemplate* FindMenuTemplate(int id);

