// Names of the resource ids: dialog templates, menus, controls, icons, strings and menu
// commands. The numbers are the program's own (stored nowhere, but fixed by its templates);
// everything that names a resource uses these names.
#pragma once

// The window system's standard ids: the OK and Cancel buttons (and their dialog results), Copy.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int ID_EDIT_COPY = 57634;

namespace res {

// ---- dialog templates and menus ----
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_DOWNLOAD = 102;
constexpr int IDD_DROPWND = 149;
constexpr int IDD_CONFIG = 150;
constexpr int IDD_PASSWORD = 153;
constexpr int IDD_HEADERS = 174;
constexpr int IDD_RESUME = 175;
constexpr int IDD_ENTERURL = 178;
constexpr int IDD_OVERVIEW = 180;
constexpr int IDR_HEADERS_MENU = 176;

// ---- icons and the bitmap ----
constexpr int IDR_MAINFRAME = 128;  // the application icon
constexpr int IDI_BROKEN = 135;     // connection broken
constexpr int IDI_PAUSE = 136;      // paused by the user
constexpr int IDI_COMPLETE = 151;
constexpr int IDI_DROP_TARGET = 152;
constexpr int IDI_KEY = 154;        // credentials and Enter URL
constexpr int IDI_SETTINGS = 155;   // configuration and headers
constexpr int IDB_ABOUT_BANNER = 158;
constexpr int IDI_LOCAL_FILE = 161;
constexpr int IDI_SIZE = 163;
constexpr int IDI_WORKING = 172;
constexpr int IDI_PAUSED_STATE = 173;
constexpr int IDI_MIRROR_LIST = 177;
// The activity animation while connected (13 frames) and the clock beside the time line (8 frames).
inline constexpr int IDI_ACTIVITY_FRAMES[] = {130, 131, 132, 133, 138, 139, 140, 141, 142, 143, 144, 145, 146};
inline constexpr int IDI_CLOCK_FRAMES[] = {162, 164, 165, 166, 167, 168, 169, 170};

// ---- controls of the session window (IDD_DOWNLOAD); Cancel is IDCANCEL ----
constexpr int IDC_PAUSE = 3;
constexpr int IDC_URL_TEXT = 1000;       // top line: the URL or the connection state
constexpr int IDC_SIZE_TEXT = 1001;      // bytes received of the size
constexpr int IDC_TIME_TEXT = 1002;      // time left and average speed
constexpr int IDC_PROGRESS = 1003;
constexpr int IDC_LOCAL_FILE_TEXT = 1004;
constexpr int IDC_STATUS_ICON = 1005;    // bottom left: activity, paused, broken, complete
constexpr int IDC_TIME_ICON = 1017;
constexpr int IDC_SIZE_ICON = 1018;
constexpr int IDC_LOCAL_FILE_ICON = 1019;
constexpr int IDC_STATE_ICON = 1020;     // top left: working, paused, mirror list
constexpr int IDC_NO_RESUME_NOTE = 1025;

// ---- About (IDD_ABOUTBOX) ----
constexpr int IDC_ABOUT_EMAIL = 1006;
constexpr int IDC_ABOUT_WEB = 1007;
constexpr int IDC_ABOUT_POST = 1008;

// ---- link drop window (IDD_DROPWND) ----
constexpr int IDC_DROP_TEXT = 1027;

// ---- configuration (IDD_CONFIG) ----
constexpr int IDC_ERROR_BEEP = 1007;
constexpr int IDC_DONE_BEEP = 1008;
constexpr int IDC_EXIT_WHEN_DONE = 1009;
constexpr int IDC_ROLLBACK = 1010;
constexpr int IDC_CONNECTIONS = 1032;
constexpr int IDC_MAX_SPEED = 1033;  // in K/sec
constexpr int IDC_RETRIES = 1035;
constexpr int IDC_TIMEOUT = 1036;    // in seconds, 0 never
constexpr int IDC_FTP_PASSIVE = 1037;
constexpr int IDC_DOWNLOAD_DIR = 1038;
constexpr int IDC_BROWSER_ASK = 1039;  // Save As asks for the browser's downloads
constexpr int IDC_TOTAL_MAX_SPEED = 1040;  // in K/sec, over all downloads
constexpr int IDC_MAX_ACTIVE = 1041;  // downloads at once, 1 to 50
constexpr int IDC_RESUME_SERIAL = 1011;
constexpr int IDC_HTTP_PROXY = 1013;
constexpr int IDC_FTP_PROXY = 1015;
constexpr int IDC_CONFIG_HELP = 1022;
constexpr int IDC_CONFIG_ICON = 1023;
constexpr int IDC_FIND_HTTP_PROXY = 1028;
constexpr int IDC_FIND_FTP_PROXY = 1029;
constexpr int IDC_FIND_EMAIL = 1031;
constexpr int IDC_EMAIL = 1034;

// ---- credentials (IDD_PASSWORD) ----
constexpr int IDC_USER = 1014;
constexpr int IDC_PASSWORD = 1015;
constexpr int IDC_PASSWORD_PROMPT = 1016;

// ---- headers viewer (IDD_HEADERS) ----
constexpr int IDC_HEADERS_TEXT = 1026;

// ---- Resume Downloads (IDD_RESUME); Close is IDCANCEL ----
constexpr int IDC_RESUME_HELP = 3;
constexpr int IDC_QUEUE_LIST = 1011;
constexpr int IDC_DELETE = 1012;
constexpr int IDC_DELETE_ALL = 1013;
constexpr int IDC_RESUME = 1014;
constexpr int IDC_RESUME_ALL = 1015;
constexpr int IDC_RESUME_ICON = 1023;

// ---- Downloads, the overview (IDD_OVERVIEW); Close is IDCANCEL, Enter opens ----
constexpr int IDC_OVERVIEW_LIST = 1040;
constexpr int IDC_OVERVIEW_RESUME = 1041;
constexpr int IDC_OVERVIEW_PAUSE = 1042;
constexpr int IDC_OVERVIEW_REMOVE = 1043;
constexpr int IDC_OVERVIEW_OPEN = 1044;
constexpr int IDC_OVERVIEW_FOLDER = 1045;
constexpr int IDC_OVERVIEW_START_NOW = 1046;
constexpr int IDC_OVERVIEW_MOVE_UP = 1047;
constexpr int IDC_OVERVIEW_MOVE_DOWN = 1048;
constexpr int IDC_OVERVIEW_ADD_URL = 1049;
constexpr int IDC_OVERVIEW_RESUME_ALL = 1050;
constexpr int IDC_OVERVIEW_PAUSE_ALL = 1051;
constexpr int IDC_OVERVIEW_TOTALS = 1052;       // running, waiting, the overall rate
constexpr int IDC_OVERVIEW_MAX_ACTIVE = 1053;   // MaxActive, written at once
constexpr int IDC_OVERVIEW_TOTAL_SPEED = 1054;  // TotalMaxSpeed in K/sec, written at once
constexpr int IDC_BROWSE_DOWNLOAD_DIR = 1055;   // the configuration's folder chooser

// ---- Enter URL (IDD_ENTERURL) ----
constexpr int IDC_ENTERED_URL = 1035;

// ---- system-menu commands ----
constexpr int IDM_ABOUTBOX = 16;
constexpr int IDM_HELP = 17;
constexpr int IDM_VIEW_HEADER = 18;
constexpr int IDM_SMALL_WINDOW = 19;
constexpr int IDM_ALWAYS_ON_TOP = 20;
constexpr int IDM_RESUME_DOWNLOADS = 21;
constexpr int IDM_ENTER_URL = 22;
constexpr int IDM_OVERVIEW = 23;

// ---- strings ----
constexpr int IDS_OLE_INIT_FAILED = 100;
constexpr int IDS_ABOUTBOX = 101;          // "&About Tarnwick..."
constexpr int IDS_SOCKETS_INIT_FAILED = 103;
constexpr int IDS_QUEUE_FULL = 105;
constexpr int IDS_ONLY_HTTP_FTP = 106;
constexpr int IDS_CANNOT_OPEN_OUTPUT = 107;
constexpr int IDS_CANNOT_CONNECT = 108;
constexpr int IDS_SAVE_AS_CANCELLED = 110;
constexpr int IDS_PROXY_UNRECOGNIZED = 111;
constexpr int IDS_PROXY_FORMAT = 112;
constexpr int IDS_WRITE_FAILED = 113;
constexpr int IDS_SOCKET_CREATE_FAILED = 114;
constexpr int IDS_NO_RESUME_INFO = 115;
constexpr int IDS_ONLY_BASIC_AUTH = 116;
constexpr int IDS_NOTHING_TO_RESUME = 117;
constexpr int IDS_RESUME_LATER = 119;
constexpr int IDS_NO_TIMERS = 120;
constexpr int IDS_SERVER_ERROR = 121;
constexpr int IDS_SERVER_ERROR_RESUME_LATER = 122;
constexpr int IDS_HELP = 124;              // "Tarnwick &Help"
constexpr int IDS_USER_AGENT = 125;
constexpr int IDS_NO_RESUME_NOTE = 126;
constexpr int IDS_VIEW_HEADER = 127;       // "&View Header..."
constexpr int IDS_LISTEN_FAILED = 129;
constexpr int IDS_SERVICE_UNKNOWN = 130;
constexpr int IDS_LOGGING_IN = 131;
constexpr int IDS_SETTING_UP_TRANSFER = 132;
constexpr int IDS_REQUESTING_FILE = 133;
constexpr int IDS_SMALL_WINDOW = 134;
constexpr int IDS_ALWAYS_ON_TOP = 135;
constexpr int IDS_PASV_FAILED = 136;
constexpr int IDS_NO_BROWSER_PROXY = 137;
constexpr int IDS_RESUME_DOWNLOADS = 138;
constexpr int IDS_CLIPBOARD_OPEN_FAILED = 139;
constexpr int IDS_CLIPBOARD_SET_FAILED = 140;
constexpr int IDS_CANNOT_OPEN_FILE = 141;
constexpr int IDS_UNKNOWN_FILE_FORMAT = 143;
constexpr int IDS_NOT_FOUND = 144;
constexpr int IDS_NO_SITE_LEFT = 145;
constexpr int IDS_NO_BROWSER_EMAIL = 146;
constexpr int IDS_ENTER_URL = 147;         // "Enter &URL..."
constexpr int IDS_OVERVIEW = 148;          // "&Downloads..."
// The settings store found damaged (moved aside) or unwritable at start.
constexpr int IDS_STORE_REPLACED = 160;
constexpr int IDS_STORE_READ_ONLY = 161;
// The configuration's download folder names no folder.
constexpr int IDS_NO_SUCH_FOLDER = 162;

}  // namespace res
