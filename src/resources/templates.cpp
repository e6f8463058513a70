// Dialog templates and menus, in dialog units, as the views lay them out.
#include "resources/ids.h"
#include "resources/resources.h"

namespace {
using K = ControlKind;
using namespace res;

const std::vector<DialogTemplate> kDialogs = {
    {IDD_ABOUTBOX, "About Tarnwick", 217, 169, false, 0,
     {
         {IDC_STATIC, K::Picture, "", 4, 4, 31, 112, cs::Bitmap, IDB_ABOUT_BANNER},
         {IDC_STATIC, K::Label, "Tarnwick Version 1.2", 40, 10, 119, 8},
         {IDC_STATIC, K::Label, "Made by Quillfern for Linux desktops and terminals.", 40, 25, 170, 8},
         {IDC_STATIC, K::Label, "Web && FTP downloading with request-resume.", 50, 35, 158, 8},
         {IDC_STATIC, K::Line, "", 7, 68, 203, 1, cs::Sunken},
         {IDC_STATIC, K::Label, "Contacting:", 40, 74, 70, 8},
         {IDC_STATIC, K::Label, "EMail:", 52, 84, 22, 8},
         {IDC_STATIC, K::Label, "Web:", 52, 100, 22, 8},
         {IDC_STATIC, K::Label, "Post:", 52, 116, 22, 8},
         {IDC_ABOUT_EMAIL, K::Edit, "", 76, 84, 135, 12, cs::ReadOnly | cs::Border | cs::AutoHScroll},
         {IDC_ABOUT_WEB, K::Edit, "", 76, 100, 135, 12, cs::ReadOnly | cs::Border | cs::AutoHScroll},
         {IDC_ABOUT_POST, K::Edit, "", 76, 116, 135, 33, cs::ReadOnly | cs::Multiline},
         {IDOK, K::PushButton, "OK", 173, 7, 37, 14, cs::DefaultButton},
         {IDC_STATIC, K::Picture, "", 0, 148, 18, 20, 0, IDR_MAINFRAME},
     }},
    {IDD_DOWNLOAD, "Getting File", 204, 105, true, 0,
     {
         {IDC_URL_TEXT, K::Label, "", 28, 5, 172, 11, cs::Border},
         {IDC_LOCAL_FILE_TEXT, K::Label, "", 28, 20, 172, 8},
         {IDC_SIZE_TEXT, K::Label, "", 28, 36, 172, 8},
         {IDC_TIME_TEXT, K::Label, "", 28, 52, 172, 8},
         {IDC_STATE_ICON, K::Picture, "", 4, 0, 18, 20, 0, IDI_WORKING},
         {IDC_LOCAL_FILE_ICON, K::Picture, "", 4, 20, 18, 20, 0, IDI_LOCAL_FILE},
         {IDC_SIZE_ICON, K::Picture, "", 4, 36, 18, 20, 0, IDI_SIZE},
         {IDC_TIME_ICON, K::Picture, "", 4, 52, 18, 20, 0, IDI_CLOCK_FRAMES[0]},
         {IDC_STATUS_ICON, K::Picture, "", 0, 84, 18, 20, 0, IDR_MAINFRAME},
         {IDC_PROGRESS, K::Progress, "", 4, 72, 196, 10},
         {IDC_NO_RESUME_NOTE, K::Label, "", 28, 84, 80, 16, cs::Centered | cs::WordWrap},
         {IDC_PAUSE, K::PushButton, "Pause", 112, 88, 44, 14},
         {IDCANCEL, K::PushButton, "Cancel", 160, 88, 40, 14},
     }},
    {IDD_DROPWND, " Tarnwick Link Drop", 124, 30, true, 0,
     {
         {IDC_STATIC, K::Picture, "", 8, 4, 18, 20, cs::Sunken, IDI_DROP_TARGET},
         {IDC_DROP_TEXT, K::Label, "Drag a link from your web browser and drop it here to download it!", 36, 0, 83, 25,
          cs::WordWrap},
     },
     true},
    {IDD_CONFIG, "Configure Tarnwick", 262, 204, false, 0,
     {
         {IDC_STATIC, K::Label, "HTTP Proxy server:", 4, 4, 64, 8},
         {IDC_HTTP_PROXY, K::Edit, "", 72, 4, 144, 12, cs::Border | cs::AutoHScroll},
         {IDC_FIND_HTTP_PROXY, K::PushButton, "Find", 220, 4, 34, 12},
         {IDC_STATIC, K::Label, "FTP Proxy server:", 4, 20, 60, 8},
         {IDC_FTP_PROXY, K::Edit, "", 72, 20, 144, 12, cs::Border},
         {IDC_FIND_FTP_PROXY, K::PushButton, "Find", 220, 20, 34, 12},
         {IDC_STATIC, K::Label, "EMail address:", 4, 38, 56, 8},
         {IDC_EMAIL, K::Edit, "", 72, 36, 144, 12, cs::Border},
         {IDC_FIND_EMAIL, K::PushButton, "Find", 220, 36, 34, 12},
         {IDC_STATIC, K::Line, "", 0, 52, 260, 1},
         {IDC_STATIC, K::Label, "Rollback", 4, 60, 32, 8},
         {IDC_ROLLBACK, K::Edit, "", 39, 56, 37, 12, cs::Border},
         {IDC_STATIC, K::Label, "K on resumed connections.", 79, 60, 80, 8},
         {IDC_STATIC, K::Label, "Max. active:", 161, 58, 43, 8},
         {IDC_MAX_ACTIVE, K::Edit, "", 206, 56, 20, 12, cs::Border},
         {IDC_STATIC, K::Label, "Connections:", 156, 74, 48, 8},
         {IDC_CONNECTIONS, K::Edit, "", 206, 72, 20, 12, cs::Border},
         {IDC_STATIC, K::Label, "Speed limit:", 156, 89, 48, 8},
         {IDC_MAX_SPEED, K::Edit, "", 206, 87, 30, 12, cs::Border},
         {IDC_STATIC, K::Label, "K/sec", 238, 89, 22, 8},
         {IDC_STATIC, K::Label, "Total limit:", 156, 104, 48, 8},
         {IDC_TOTAL_MAX_SPEED, K::Edit, "", 206, 102, 30, 12, cs::Border},
         {IDC_STATIC, K::Label, "K/sec", 238, 104, 22, 8},
         {IDC_STATIC, K::Label, "Retries:", 156, 119, 48, 8},
         {IDC_RETRIES, K::Edit, "", 206, 117, 20, 12, cs::Border},
         {IDC_STATIC, K::Label, "Timeout:", 156, 134, 48, 8},
         {IDC_TIMEOUT, K::Edit, "", 206, 132, 30, 12, cs::Border},
         {IDC_STATIC, K::Label, "sec", 238, 134, 22, 8},
         {IDC_ERROR_BEEP, K::CheckBox, "Sound when broken connection.", 4, 73, 148, 8},
         {IDC_DONE_BEEP, K::CheckBox, "Sound when finished getting file.", 4, 84, 148, 8},
         {IDC_EXIT_WHEN_DONE, K::CheckBox, "Close window when finished getting file.", 4, 95, 148, 8},
         {IDC_RESUME_SERIAL, K::CheckBox, "Resume one download at a time.", 4, 106, 148, 8},
         {IDC_FTP_PASSIVE, K::CheckBox, "Passive FTP (through firewalls).", 4, 117, 148, 8},
         {IDC_STATIC, K::Line, "", 0, 147, 260, 1},
         {IDC_STATIC, K::Label, "Download folder:", 4, 155, 64, 8},
         {IDC_DOWNLOAD_DIR, K::Edit, "", 72, 153, 134, 12, cs::Border | cs::AutoHScroll},
         {IDC_BROWSE_DOWNLOAD_DIR, K::PushButton, "Browse...", 210, 153, 44, 12},
         {IDC_BROWSER_ASK, K::CheckBox, "Ask where to save the browser's downloads.", 72, 169, 182, 8},
         {IDC_CONFIG_ICON, K::Picture, "", 0, 181, 18, 20, 0, IDI_SETTINGS},
         {IDC_CONFIG_HELP, K::PushButton, "Help", 28, 185, 44, 14},
         {IDOK, K::PushButton, "OK", 164, 185, 44, 14, cs::DefaultButton},
         {IDCANCEL, K::PushButton, "Cancel", 212, 185, 44, 14},
     }},
    {IDD_PASSWORD, "Username/Password Required", 186, 96, false, 0,
     {
         {IDC_PASSWORD_PROMPT, K::Label, "A username and password is required for the data being accessed.", 5, 5, 175, 30,
          cs::WordWrap},
         {IDC_STATIC, K::Label, "Username:", 5, 45, 65, 10},
         {IDC_STATIC, K::Label, "Password:", 95, 45, 65, 10},
         {IDC_USER, K::Edit, "", 5, 55, 85, 12, cs::Border | cs::AutoHScroll},
         {IDC_PASSWORD, K::Edit, "", 95, 55, 85, 12, cs::Border | cs::AutoHScroll | cs::Password},
         {IDOK, K::PushButton, "OK", 75, 75, 50, 14, cs::DefaultButton},
         {IDCANCEL, K::PushButton, "Cancel", 130, 75, 50, 14},
         {IDC_STATIC, K::Picture, "", 0, 75, 18, 20, 0, IDI_KEY},
     }},
    {IDD_HEADERS, "Headers", 376, 166, false, IDR_HEADERS_MENU,
     {
         {IDC_HEADERS_TEXT, K::Edit, "", 4, 4, 368, 140,
          cs::Multiline | cs::ReadOnly | cs::Border | cs::VScroll | cs::AutoHScroll | cs::AutoVScroll},
         {IDOK, K::PushButton, "OK", 320, 148, 50, 14, cs::DefaultButton},
         {IDC_STATIC, K::Picture, "", 0, 146, 18, 20, 0, IDI_SETTINGS},
     }},
    {IDD_RESUME, "Resume Downloads", 284, 161, false, 0,
     {
         {IDC_STATIC, K::Label, "Queued files:", 4, 0, 119, 8},
         {IDC_QUEUE_LIST, K::ListBox, "", 4, 10, 276, 118, cs::Sorted | cs::ExtendedSel | cs::VScroll | cs::Notify},
         {IDC_RESUME, K::PushButton, "Resume", 92, 132, 44, 12},
         {IDC_RESUME_ALL, K::PushButton, "Resume All", 92, 148, 44, 12},
         {IDC_DELETE, K::PushButton, "Delete", 160, 132, 44, 12},
         {IDC_DELETE_ALL, K::PushButton, "Delete All", 160, 148, 44, 12},
         {IDC_RESUME_HELP, K::PushButton, "Help", 28, 140, 40, 16},
         {IDCANCEL, K::PushButton, "Close", 240, 140, 40, 16},
         {IDC_RESUME_ICON, K::Picture, "", 0, 140, 18, 20, 0, IDR_MAINFRAME},
     }},
    {IDD_OVERVIEW, "Downloads", 560, 226, true, 0,
     {
         {IDC_OVERVIEW_TOTALS, K::Label, "", 4, 5, 552, 8},
         {IDC_OVERVIEW_LIST, K::Table, "#\tFile\tSize\tDone\tRate\tTime left\tState\tConnections\tURL", 4, 16, 552, 168,
          cs::ExtendedSel | cs::VScroll},
         {IDC_OVERVIEW_RESUME, K::PushButton, "&Resume", 4, 190, 44, 14},
         {IDC_OVERVIEW_PAUSE, K::PushButton, "&Pause", 52, 190, 44, 14},
         {IDC_OVERVIEW_START_NOW, K::PushButton, "Start &now", 100, 190, 48, 14},
         {IDC_OVERVIEW_MOVE_UP, K::PushButton, "Move &up", 152, 190, 48, 14},
         {IDC_OVERVIEW_MOVE_DOWN, K::PushButton, "Move do&wn", 204, 190, 48, 14},
         {IDC_OVERVIEW_REMOVE, K::PushButton, "Re&move", 264, 190, 44, 14},
         {IDC_OVERVIEW_OPEN, K::PushButton, "&Open", 312, 190, 44, 14},
         {IDC_OVERVIEW_FOLDER, K::PushButton, "Show in &Folder", 360, 190, 64, 14},
         {IDC_OVERVIEW_ADD_URL, K::PushButton, "&Add URL...", 4, 208, 48, 14},
         {IDC_OVERVIEW_RESUME_ALL, K::PushButton, "Resume a&ll", 56, 208, 48, 14},
         {IDC_OVERVIEW_PAUSE_ALL, K::PushButton, "Pau&se all", 108, 208, 48, 14},
         {IDC_STATIC, K::Label, "Downloads at once:", 170, 211, 68, 8},
         {IDC_OVERVIEW_MAX_ACTIVE, K::Edit, "", 240, 208, 20, 12, cs::Border},
         {IDC_STATIC, K::Label, "Total speed limit:", 272, 211, 64, 8},
         {IDC_OVERVIEW_TOTAL_SPEED, K::Edit, "", 338, 208, 34, 12, cs::Border},
         {IDC_STATIC, K::Label, "K/sec", 374, 211, 22, 8},
         {IDCANCEL, K::PushButton, "Close", 512, 208, 44, 14},
     },
     false, true},
    {IDD_ENTERURL, "Enter URL", 216, 57, false, 0,
     {
         {IDC_STATIC, K::Label, "Enter URL of file for Tarnwick to download.", 4, 4, 180, 12},
         {IDC_ENTERED_URL, K::Edit, "", 4, 20, 208, 12, cs::Border | cs::AutoHScroll},
         {IDOK, K::PushButton, "OK", 112, 40, 48, 12, cs::DefaultButton},
         {IDCANCEL, K::PushButton, "Cancel", 164, 40, 48, 12},
         {IDC_STATIC, K::Picture, "", 0, 36, 18, 20, 0, IDI_KEY},
     }},
};

const std::vector<MenuTemplate> kMenus = {
    {IDR_HEADERS_MENU, "&Edit", {{"&Copy All", ID_EDIT_COPY}}},
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
