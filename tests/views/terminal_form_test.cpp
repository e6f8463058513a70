// The generic terminal form: a dialog without a rendering of its own is asked from its
// template, with the answers reaching its model and its buttons.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "platform/services.h"
#include "platform/term/term_ui.h"
#include "resources/ids.h"
#include "view_support.h"

namespace {
using namespace res;

// Runs dlg modally on the terminal backend with input on standard input; returns what it
// wrote to standard error.
std::string onTerminal(const std::string& input, const std::function<void()>& run) {
  int in[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(in[1]);
  std::FILE* err = std::tmpfile();
  int savedIn = ::dup(0), savedErr = ::dup(2);
  ::dup2(in[0], 0);
  ::dup2(::fileno(err), 2);
  ::close(in[0]);
  SetAppName("tarnwick");
  setUi(makeTerminalUi());
  run();
  setUi(nullptr);
  ::dup2(savedIn, 0);
  ::dup2(savedErr, 2);
  ::close(savedIn);
  ::close(savedErr);
  std::string out;
  std::rewind(err);
  for (int c; (c = std::fgetc(err)) != EOF;) out += static_cast<char>(c);
  std::fclose(err);
  return out;
}

std::string runOnTerminal(CDialog& dlg, const std::string& input) {
  return onTerminal(input, [&] { dlg.DoModal(); });
}

TEST(TerminalForm, AsksEditsByTheirLabelsAndChecksAsYesNoThenOk) {
  RecordingDialog dlg(IDD_CONFIG);
  dlg.Control(IDC_DONE_BEEP)->checked = 1;
  std::string out = runOnTerminal(dlg, "p:1\n\n\n12\n\n\n\n\n\n\ny\n\nx\nn\n\n\n\n\ny\n");
  EXPECT_EQ(out,
            "Configure Tarnwick\n"
            "HTTP Proxy server: FTP Proxy server: EMail address: Rollback: "
            "  K on resumed connections.\n"
            "Max. active: Connections: Speed limit:   K/sec\n"
            "Total limit:   K/sec\n"
            "Retries: Timeout:   sec\n"
            "Sound when broken connection. [y/N] Sound when finished getting file. [Y/n] "
            "Close window when finished getting file. [y/N] Close window when finished getting file. [y/N] "
            "Resume one download at a time. [y/N] Passive FTP (through firewalls). [y/N] Download folder: "
            "Ask where to save the browser's downloads. [y/N] "
            "tarnwick: Configure Tarnwick?\n[y/n] ");
  EXPECT_EQ(dlg.ControlText(IDC_HTTP_PROXY), "p:1");
  EXPECT_EQ(dlg.ControlText(IDC_ROLLBACK), "12");
  EXPECT_EQ(dlg.Control(IDC_ERROR_BEEP)->checked, 1);
  EXPECT_EQ(dlg.Control(IDC_DONE_BEEP)->checked, 1) << "an empty answer keeps the box as it was";
  EXPECT_EQ(dlg.Control(IDC_EXIT_WHEN_DONE)->checked, 0);
  EXPECT_EQ(dlg.commands, std::vector<int>{IDOK}) << "an empty answer to the last question is Yes";
}

// At the end of input (a log, a cron job) nothing more is asked; a question's default is said.
TEST(TerminalForm, EndOfInputCancelsAndAsksNothingMore) {
  RecordingDialog dlg(IDD_CONFIG);
  EXPECT_EQ(runOnTerminal(dlg, "p:1\n"), "Configure Tarnwick\nHTTP Proxy server: ");
  EXPECT_TRUE(dlg.commands.empty());
  EXPECT_EQ(dlg.Result(), IDCANCEL);
  int answer = 0;
  EXPECT_EQ(onTerminal("", [&] { answer = AfxMessageBox("Resume later?", MB_YESNOCANCEL); }),
            "tarnwick: Resume later?\nYes (end of input)\n");
  EXPECT_EQ(answer, IDYES);
  EXPECT_EQ(onTerminal("x\n", [&] { answer = AfxMessageBox("Resume later?", MB_YESNO); }),
            "tarnwick: Resume later?\n[y/n] \nYes (end of input)\n");
}

TEST(TerminalForm, ListBoxIsShownNumberedAndItsSelectionAsked) {
  RecordingDialog dlg(IDD_RESUME);
  dlg.Control(IDC_QUEUE_LIST)->items = {{"ftp://a/1", 4}, {"http://b/2", 0}, {"http://c/3", 9}};
  std::string out = runOnTerminal(dlg, "3, 1 9\nn\n");
  EXPECT_EQ(out,
            "Resume Downloads\n  Queued files:\n"
            "  1. ftp://a/1\n  2. http://b/2\n  3. http://c/3\n"
            "Numbers: tarnwick: Resume Downloads?\n[y/n] ");
  EXPECT_EQ(dlg.Control(IDC_QUEUE_LIST)->selected, (std::vector<int>{2, 0}));
  EXPECT_EQ(dlg.commands, std::vector<int>{IDCANCEL});
}

}  // namespace
