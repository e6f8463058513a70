// Dialog templates and menus, in dialog units, as the views lay them out.
#include "platform/resources.h"

namespace {
using K = ControlKind;

const std::vector<DialogTemplate> kDialogs = {
    {res::IDD_ABOUTBOX, "About Tarnwick", 217, 169, false, 0,
     {
         {IDC_STATIC, K::Picture, "", 4, 4, 31, 112, cs::Bitmap, 158},
         {IDC_STATIC, K::Label, "Tarnwick Version 1.2", 40, 10, 119, 8},
         {IDC_STATIC, K::Label, "Made by Quillfern for Linux desktops and terminals.", 40, 25, 170, 8},
         {IDC_STATIC, K::Label, "Web && FTP downloading with request-resume.", 50, 35, 158, 8},
         {IDC_STATIC, K::Line, "", 7, 68, 203, 1, cs::Sunken},
         {IDC_STATIC, K::Label, "Contacting:", 40, 74, 70, 8},
         {IDC_STATIC, K::Label, "EMail:", 52, 84, 22, 8},
         {IDC_STATIC, K::Label, "Web:", 52, 100, 22, 8},
         {IDC_STATIC, K::Label, "Post:", 52, 116, 22, 8},
         {1006, K::Edit, "", 76, 84, 135, 12, cs::ReadOnly | cs::Border | cs::AutoHScroll},
         {1007, K::Edit, "", 76, 100, 135, 12, cs::ReadOnly | cs::Border | cs::AutoHScroll},
         {1008, K::Edit, "", 76, 116, 135, 33, cs::ReadOnly | cs::Multiline},
         {1, K::PushButton, "OK", 173, 7, 37, 14, cs::DefaultButton},
         {IDC_STATIC, K::Picture, "", 0, 148, 18, 20, 0, 128},
     }},
    {res::IDD_DOWNLOAD, "Getting File", 204, 105, true, 0,
     {
         {1000, K::Label, "", 28, 5, 172, 11, cs::Border},
         {1004, K::Label, "", 28, 20, 172, 8},
         {1001, K::Label, "", 28, 36, 172, 8},
         {1002, K::Label, "", 28, 52, 172, 8},
         {1020, K::Picture, "", 4, 0, 18, 20, 0, 172},
         {1019, K::Picture, "", 4, 20, 18, 20, 0, 161},
         {1018, K::Picture, "", 4, 36, 18, 20, 0, 163},
         {1017, K::Picture, "", 4, 52, 18, 20, 0, 162},
         {1005, K::Picture, "", 0, 84, 18, 20, 0, 128},
         {1003, K::Progress, "", 4, 72, 196, 10},
         {1025, K::Label, "", 28, 84, 80, 16, cs::Centered | cs::WordWrap},
         {3, K::PushButton, "Pause", 112, 88, 44, 14},
         {2, K::PushButton, "Cancel", 160, 88, 40, 14},
     }},
    {res::IDD_DROPWND, " Tarnwick Link Drop", 124, 30, true, 0,
     {
         {IDC_STATIC, K::Picture, "", 8, 4, 18, 20, cs::Sunken, 152},
         {1027, K::Label, "Drag a link from your web browser and drop it here to download it!", 36, 0, 83, 25,
          cs::WordWrap},
     }},
    {res::IDD_CONFIG, "Configure Tarnwick", 262, 177, false, 0,
     {
         {IDC_STATIC, K::Label, "HTTP Proxy server:", 4, 4, 64, 8},
         {1013, K::Edit, "", 72, 4, 144, 12, cs::Border | cs::AutoHScroll},
         {1028, K::PushButton, "Find", 220, 4, 34, 12},
         {IDC_STATIC, K::Label, "FTP Proxy server:", 4, 20, 60, 8},
         {1015, K::Edit, "", 72, 20, 144, 12, cs::Border},
         {1029, K::PushButton, "Find", 220, 20, 34, 12},
         {IDC_STATIC, K::Label, "EMail address:", 4, 38, 56, 8},
         {1034, K::Edit, "", 72, 36, 144, 12, cs::Border},
         {1031, K::PushButton, "Find", 220, 36, 34, 12},
         {IDC_STATIC, K::Line, "", 0, 52, 260, 1},
         {IDC_STATIC, K::Label, "Rollback", 4, 60, 32, 8},
         {1010, K::Edit, "", 39, 56, 37, 12, cs::Border},
         {IDC_STATIC, K::Label, "K on resumed connections.", 79, 60, 144, 8},
         {1007, K::CheckBox, "Sound when broken connection.", 4, 75, 127, 8},
         {1008, K::CheckBox, "Sound when finished getting file.", 4, 86, 127, 8},
         {1009, K::CheckBox, "Close window when finished getting file.", 4, 99, 147, 8},
         {1011, K::CheckBox, "Resume one download at a time.", 4, 114, 147, 8},
         {IDC_STATIC, K::Line, "", 0, 132, 260, 1},
         {1023, K::Picture, "", 0, 154, 18, 20, 0, 155},
         {1022, K::PushButton, "Help", 28, 158, 44, 14},
         {1, K::PushButton, "OK", 164, 158, 44, 14, cs::DefaultButton},
         {2, K::PushButton, "Cancel", 212, 158, 44, 14},
     }},
    {res::IDD_PASSWORD, "Username/Password Required", 186, 96, false, 0,
     {
         {1016, K::Label, "A username and password is required for the data being accessed.", 5, 5, 175, 30,
          cs::WordWrap},
         {IDC_STATIC, K::Label, "Username:", 5, 45, 65, 10},
         {IDC_STATIC, K::Label, "Password:", 95, 45, 65, 10},
         {1014, K::Edit, "", 5, 55, 85, 12, cs::Border | cs::AutoHScroll},
         {1015, K::Edit, "", 95, 55, 85, 12, cs::Border | cs::AutoHScroll | cs::Password},
         {1, K::PushButton, "OK", 75, 75, 50, 14, cs::DefaultButton},
         {2, K::PushButton, "Cancel", 130, 75, 50, 14},
         {IDC_STATIC, K::Picture, "", 0, 75, 18, 20, 0, 154},
     }},
    {res::IDD_HEADERS, "Headers", 376, 166, false, res::IDR_HEADERS_MENU,
     {
         {1026, K::Edit, "", 4, 4, 368, 140,
          cs::Multiline | cs::ReadOnly | cs::Border | cs::VScroll | cs::AutoHScroll | cs::AutoVScroll},
         {1, K::PushButton, "OK", 320, 148, 50, 14, cs::DefaultButton},
         {IDC_STATIC, K::Picture, "", 0, 146, 18, 20, 0, 155},
     }},
    {res::IDD_RESUME, "Resume Downloads", 284, 161, false, 0,
     {
         {IDC_STATIC, K::Label, "Queued files:", 4, 0, 119, 8},
         {1011, K::ListBox, "", 4, 10, 276, 118, cs::Sorted | cs::ExtendedSel | cs::VScroll | cs::Notify},
         {1014, K::PushButton, "Resume", 92, 132, 44, 12},
         {1015, K::PushButton, "Resume All", 92, 148, 44, 12},
         {1012, K::PushButton, "Delete", 160, 132, 44, 12},
         {1013, K::PushButton, "Delete All", 160, 148, 44, 12},
         {3, K::PushButton, "Help", 28, 140, 40, 16},
         {2, K::PushButton, "Close", 240, 140, 40, 16},
         {1023, K::Picture, "", 0, 140, 18, 20, 0, 128},
     }},
    {res::IDD_ENTERURL, "Enter URL", 216, 57, false, 0,
     {
         {IDC_STATIC, K::Label, "Enter URL of file for Tarnwick to download.", 4, 4, 180, 12},
         {1035, K::Edit, "", 4, 20, 208, 12, cs::Border | cs::AutoHScroll},
         {1, K::PushButton, "OK", 112, 40, 48, 12, cs::DefaultButton},
         {2, K::PushButton, "Cancel", 164, 40, 48, 12},
         {IDC_STATIC, K::Picture, "", 0, 36, 18, 20, 0, 154},
     }},
};

const std::vector<MenuTemplate> kMenus = {
    {res::IDR_HEADERS_MENU, "&Edit", {{"&Copy All", 57634}}},
};
}  // namespace

const std::vector<DialogTemplate>& DialogTemplates() { return kDialogs; }

const DialogTemplate* FindDialogTemplate(int id) {
  for (const auto& d : kDialogs)
    if (d.id == id) return &d;
  return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id) {
  for (const auto& m : kMenus)
    if (m.id == id) return &m;
  return nullptr;
}
