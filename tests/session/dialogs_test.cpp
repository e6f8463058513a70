// The configuration round trip, the dialogs' validation and the other windows' models.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/download_app.h"
#include "ui/password_dlg.h"
#include "ui/resume_dlg.h"
#include "scripted_ui.h"
#include "ui/config_dlg.h"
#include "ui/drop_wnd.h"

namespace {

// Runs the app's /CONFIG job with a scripted user.
void runConfigJob(TestEnvironment& env, std::function<void(CDialog&)> user) {
  env.ui().dialogActions[150].push_back(std::move(user));
  CDownloadApp app;
  app.SetProfilePath(env.path("settings.db"));
  app.m_lpCmdLine = " -config ";
  app.InitInstance();
  EXPECT_EQ(app.m_exitCode, 0);
}

TEST(ConfigDialog, ShowsDefaultsAndStoresAllEightOnOk) {
  TestEnvironment env;
  runConfigJob(env, [](CDialog& d) {
    EXPECT_EQ(d.ControlText(1034), "tarnwick@");
    EXPECT_EQ(d.ControlText(1010), "4");
    EXPECT_EQ(d.Control(1007)->checked, 1);
    EXPECT_EQ(d.Control(1011)->checked, 0);
    d.SetControlText(1013, "proxy.local:3128");
    d.SetControlText(1010, "12");
    d.Control(1011)->checked = 1;
    d.ViewCommand(IDOK);
  });
  CDownloadApp reader;
  reader.SetProfilePath(env.path("settings.db"));
  EXPECT_EQ(reader.GetProfileString("Config", "Proxy", "?"), "proxy.local:3128");
  EXPECT_EQ(reader.GetProfileInt("Config", "Rollback", 0), 12);
  EXPECT_EQ(reader.GetProfileInt("Config", "ResumeSerial", 0), 1);
  EXPECT_EQ(reader.GetProfileString("Config", "EMail", "?"), "tarnwick@");
  EXPECT_EQ(reader.GetProfileInt("Config", "ErrorBeep", 7), 1);
}

TEST(ConfigDialog, ProxyFieldsAreStoredTrimmed) {
  TestEnvironment env;
  runConfigJob(env, [](CDialog& d) {
    d.SetControlText(1013, "  http://bob:pw@proxy.local:3128 ");
    d.SetControlText(1015, " [::1]:2121\t");
    d.SetControlText(1034, " me@example.org ");
    d.ViewCommand(IDOK);
    EXPECT_TRUE(d.IsEnded());
  });
  CDownloadApp reader;
  reader.SetProfilePath(env.path("settings.db"));
  EXPECT_EQ(reader.GetProfileString("Config", "Proxy", "?"), "http://bob:pw@proxy.local:3128");
  EXPECT_EQ(reader.GetProfileString("Config", "ProxyFTP", "?"), "[::1]:2121");
  EXPECT_EQ(reader.GetProfileString("Config", "EMail", "?"), "me@example.org");
  // An FTP proxy has no place for a login of its own: refused as the download would.
  runConfigJob(env, [](CDialog& d) {
    d.SetControlText(1015, "u:p@ftp.local:21");
    d.ViewCommand(IDOK);
    EXPECT_FALSE(d.IsEnded());
    d.ViewCommand(IDCANCEL);
  });
  ASSERT_FALSE(env.ui().boxes.empty());
  EXPECT_EQ(env.ui().boxes.back().text, "Invalid proxy server format.\nUse format:\n   server.name:port");
}

TEST(ConfigDialog, CancelWritesNothing) {
  TestEnvironment env;
  runConfigJob(env, [](CDialog& d) {
    d.SetControlText(1013, "changed:1");
    d.ViewCommand(IDCANCEL);
  });
  CDownloadApp reader;
  reader.SetProfilePath(env.path("settings.db"));
  for (const char* v : {"Proxy", "ProxyFTP", "EMail"}) EXPECT_EQ(reader.GetProfileString("Config", v, "absent"), "absent");
  for (const char* v : {"ErrorBeep", "DoneBeep", "Exit", "ResumeSerial", "Rollback"})
    EXPECT_EQ(reader.GetProfileInt("Config", v, -5), -5);
}

TEST(ConfigDialog, InvalidValuesKeepTheDialogOpenWithTheirMessages) {
  struct Case {
    int control;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {1010, "101", "Please enter an integer between 0 and 100."},
      {1010, "-1", "Please enter an integer between 0 and 100."},
      {1010, "abc", "Please enter an integer."},
      {1013, "proxy\thost:1", "Invalid proxy server format.\nUse format:\n   server.name:port"},
      {1013, "proxy.local:abc", "Invalid proxy server format.\nUse format:\n   server.name:port"},
      {1013, "proxy.local:99999", "Invalid proxy server format.\nUse format:\n   server.name:port"},
      {1015, "ftp proxy", "Invalid proxy server format.\nUse format:\n   server.name:port"},
      {1015, "ftp.proxy:", "Invalid proxy server format.\nUse format:\n   server.name:port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    TestEnvironment env;
    bool stayedOpen = false;
    runConfigJob(env, [&](CDialog& d) {
      d.SetControlText(c.control, c.value);
      d.ViewCommand(IDOK);
      stayedOpen = !d.IsEnded();
      d.ViewCommand(IDCANCEL);
    });
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(env.ui().boxes.size(), 1u);
    EXPECT_EQ(env.ui().boxes[0].text, c.message);
  }
}

struct FakeHome {
  std::string dir;
  std::string oldHome;
  FakeHome() {
    char t[] = "/tmp/tarnwick-home-XXXXXX";
    dir = ::mkdtemp(t);
    oldHome = ::getenv("HOME") ? ::getenv("HOME") : "";
    ::setenv("HOME", dir.c_str(), 1);
    ::unsetenv("http_proxy");
    ::unsetenv("ftp_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("FTP_PROXY");
    ::unsetenv("EMAIL");
  }
  ~FakeHome() {
    ::setenv("HOME", oldHome.c_str(), 1);
    // Downloads in later tests read these too.
    ::unsetenv("http_proxy");
    ::unsetenv("ftp_proxy");
    std::filesystem::remove_all(dir);
  }
  void firefox(const std::string& prefs) {
    std::filesystem::create_directories(dir + "/.mozilla/firefox/abc.default");
    writeWholeFile(dir + "/.mozilla/firefox/profiles.ini", "[Profile0]\nName=default\nPath=abc.default\nDefault=1\n");
    writeWholeFile(dir + "/.mozilla/firefox/abc.default/prefs.js", prefs);
  }
};

TEST(ConfigDialog, FindButtonsReadTheBrowsersSettings) {
  FakeHome home;
  EXPECT_EQ(CConfigDlg::findProxy(false), "");
  EXPECT_EQ(CConfigDlg::findEmail(), "");
  ::setenv("http_proxy", "http://host2:80/", 1);
  ::setenv("ftp_proxy", "host:21", 1);
  EXPECT_EQ(CConfigDlg::findProxy(false), "host2:80");
  EXPECT_EQ(CConfigDlg::findProxy(true), "host:21");
  home.firefox("user_pref(\"network.proxy.http\", \"fx\");\nuser_pref(\"network.proxy.ftp\", \"fxftp\");\n"
               "user_pref(\"network.proxy.ftp_port\", 2121);\n");
  EXPECT_EQ(CConfigDlg::findProxy(false), "fx:0");
  EXPECT_EQ(CConfigDlg::findProxy(true), "fxftp:2121");
  ::setenv("EMAIL", "me@example.org", 1);
  EXPECT_EQ(CConfigDlg::findEmail(), "me@example.org");

  TestEnvironment env;
  ::unsetenv("EMAIL");
  runConfigJob(env, [](CDialog& d) {
    d.ViewCommand(1028);
    d.ViewCommand(1031);  // nothing to find: message, field unchanged
    d.ViewCommand(IDCANCEL);
  });
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text.rfind("Sorry, couldn't find mail address information", 0), 0u);
}

TEST(PasswordDialog, FortyCharactersAtMost) {
  TestEnvironment env;
  CPasswordDlg dlg;
  dlg.m_user = std::string(41, 'u');
  bool refused = false;
  env.ui().dialogActions[153].push_back([&](CDialog& d) {
    EXPECT_EQ(d.Control(1014)->limitText, 40);
    d.ViewCommand(IDOK);
    refused = !d.IsEnded();
    d.SetControlText(1014, "");
    d.ViewCommand(IDOK);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(refused);
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text, "Please enter no more than 40 characters.");
  EXPECT_EQ(dlg.m_user, "");
}

TEST(ResumeDialog, ListsInTextOrderAndDeletesOrResumesTheSelection) {
  TestEnvironment env;
  CWinApp& app = env.app();
  const std::pair<const char*, const char*> entries[] = {
      {"03", "http://b/x"}, {"07", "ftp://a/y"}, {"11", "http://a/z"}, {"20", "http://c/w"}, {"42", "http://d/v"}};
  for (const auto& [slot, url] : entries) {
    app.WriteProfileString("FileQueue", std::string("Get") + slot, url);
    app.WriteProfileInt("FileQueue", std::string("Start") + slot, 5);
    app.WriteProfileInt("FileQueue", std::string("Minimized") + slot, 1);
  }
  env.ui().dialogActions[175].push_back([](CDialog& d) {
    auto* list = d.Control(1011);
    ASSERT_EQ(list->items.size(), 5u);
    EXPECT_EQ(list->items[0].first, "ftp://a/y");
    EXPECT_EQ(list->items[4].first, "http://d/v");
    list->selected = {0, 2, 4};
    d.ViewCommand(1014);  // Resume, last to first
    d.ViewCommand(1012);  // Delete
    EXPECT_EQ(list->items.size(), 2u);
    d.ViewCommand(IDCANCEL);
  });
  CResumeDlg dlg;
  dlg.DoModal();
  EXPECT_EQ(env.ui().started,
            (std::vector<std::string>{"TARNWICK.EXE #42", "TARNWICK.EXE #03", "TARNWICK.EXE #07"}));
  EXPECT_EQ(app.GetProfileString("FileQueue", "Get07", ""), "");
  EXPECT_EQ(app.GetProfileString("FileQueue", "Start42", ""), "");
  EXPECT_EQ(app.GetProfileString("FileQueue", "Minimized07", "absent"), "absent");
  EXPECT_EQ(app.GetProfileString("FileQueue", "Get11", ""), "http://a/z");
  EXPECT_EQ(app.GetProfileString("FileQueue", "Get20", ""), "http://c/w");
}

TEST(DropWindow, KeepsItsModesInTheStore) {
  TestEnvironment env;
  CWinApp& app = env.app();
  app.WriteProfileInt("DropWindow", "WindowX", 40);
  env.ui().dialogActions[149].push_back([](CDialog& d) {
    auto& w = static_cast<CDropWnd&>(d);
    EXPECT_EQ(w.X(), 40);
    EXPECT_EQ(w.Y(), -1);
    int fullW = w.Width();
    d.ViewSysCommand(19);
    EXPECT_EQ(w.Width(), w.m_fullHeight + 5);
    EXPECT_TRUE(w.SystemMenuChecked(19));
    EXPECT_FALSE(w.m_dropText.IsWindowVisible());
    d.SendMessage(WM_LBUTTONDBLCLK);
    EXPECT_EQ(w.Width(), fullW);
    d.SendMessage(WM_RBUTTONDBLCLK);
    EXPECT_TRUE(w.IsTopmost());
    d.ViewSized(true);
    d.ViewMoved(5, 5);  // minimized: not kept
    DropData drop{true, "http://h/a b\nc"};
    EXPECT_EQ(d.DropTarget()->OnDragEnter(drop), DROPEFFECT_LINK);
    EXPECT_EQ(d.DropTarget()->OnDragOver(DropData{}), DROPEFFECT_NONE);
    d.DropTarget()->OnDrop(drop);
    d.ViewCommand(IDCANCEL);
  });
  CDropWnd dlg;
  dlg.DoModal();
  // Separators: before Small Window, after Always On Top, before About.
  std::vector<int> menu;
  for (const auto& item : dlg.SystemMenu()) menu.push_back(item.command);
  EXPECT_EQ(menu, (std::vector<int>{0, 19, 20, 0, 21, 23, 22, 17, 0, 16}));
  app.FlushProfile();
  EXPECT_EQ(app.GetProfileInt("DropWindow", "SmallSize", -1), 0);
  EXPECT_EQ(app.GetProfileInt("DropWindow", "OnTop", -1), 1);
  EXPECT_EQ(app.GetProfileInt("DropWindow", "Minimized", 0), 1);
  EXPECT_EQ(app.GetProfileInt("DropWindow", "WindowX", -1), 40);
  EXPECT_EQ(env.ui().started, std::vector<std::string>{"TARNWICK.EXE http://h/a b\nc"});
}

}  // namespace
