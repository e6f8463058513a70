// One download: the "Getting File" window is the session and owns all its state.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/wnd.h"
#include "session/session_socket.h"
#include "ui/link_drop_target.h"

constexpr UINT WM_TRYNEXTSITE = WM_USER + 101;

class CDownloadDlg : public CDialog {
 public:
  CDownloadDlg();
  ~CDownloadDlg() override;

  void DoDataExchange(CDataExchange& dx) override;
  bool OnInitDialog() override;
  void OnCancel() override;
  bool IsAtRest() const override;
  std::string Tag() const override { return m_slot; }

  // ---- the session record ----
  // Window controls.
  CCtl m_noResumeNote;  // 1025
  CCtl m_stateIcon;     // 1020
  CCtl m_line1Icon;     // 1019
  CCtl m_line2Icon;     // 1017
  CCtl m_pauseButton;   // 3
  CCtl m_cancelButton;  // 2
  CCtl m_statusIcon;    // 1005
  CCtl m_line3Text;     // 1002
  CCtl m_progress;      // 1003
  CCtl m_line1Text;     // 1004
  CCtl m_urlText;       // 1000
  CCtl m_line2Text;     // 1001

  // State flags and counters. Byte counts and offsets are 64-bit.
  int m_paused = 0;
  int m_finished = 0;
  int m_dropConnection = 0;
  int m_reconnectOnClose = 0;
  int m_stupidServer = 0;
  int m_useMirrorList = 0;
  int m_isListDownload = 0;
  int m_fromQueue = 0;
  int m_redirected = 0;
  int m_hIcon = 128;
  int m_protoState = 0;
  int m_lastSockError = 0;
  int m_animFrame1 = 0;
  int m_animFrame2 = 0;
  int m_timerTicks = 0;
  int m_noTimer = 0;
  // Blocks that arrive full are read together, up to this many per read event.
  static constexpr int kBlocksPerRead = 16;
  char m_recvBuf[65536];  // large blocks: fewer receive calls on a fast link
  DWORD m_lastSampleTick = 0;
  double m_speedSamples[6] = {0, 0, 0, 0, 0, 0};
  int m_sampleIndex = 0;
  int m_httpStatus = 0;
  std::int64_t m_startOffset = 0;
  std::int64_t m_totalSize = 0;
  std::int64_t m_bytesThisConn = 0;
  std::int64_t m_bytesAtSample = 0;
  std::uint16_t m_port = 0;
  std::uint16_t m_dataPort = 0;
  int m_service = 0;

  // Strings.
  std::string m_url;
  std::string m_localPath;
  std::string m_server;
  std::string m_pasvHost;
  std::string m_object;
  std::string m_slot;
  std::string m_lastModified;
  std::string m_headers;
  std::string m_ftpReply;
  std::string m_user;
  std::string m_password;

  // Owned objects.
  std::unique_ptr<CFile> m_mirrorFile;
  std::unique_ptr<CFile> m_outFile;
  std::unique_ptr<CSessionSocket> m_ctrlSocket;
  std::unique_ptr<CSessionSocket> m_listenSocket;
  std::unique_ptr<CSessionSocket> m_dataSocket;

  CLinkDropTarget m_dropTarget;

  // ---- session operations ----
  void togglePause();
  void onConnectionClosed(int error);
  void finishDownload();
  void connectionBroken();
  void setNoResumeNote(bool clear);
  void updateProgress(bool speedLine, bool sizeLine);
  bool prepareDownload(bool showMessages);
  void openConnection();
  void closeConnections();
  void abandonSite(bool closeWindow, bool removeEntry);
  bool allocateQueueSlot();
  bool readQueueEntry(bool showMessages);
  void deleteQueueEntry();
  bool openMirrorList(const std::string& path);
  LRESULT tryNextSite(WPARAM = 0, LPARAM = 0);
  void closeMirrorList();

  // Writes one block at the file's position and keeps the resume point; false after a
  // write failure (the window is ending).
  bool writeBlock(const char* data, std::int64_t n);
  // The queue value prefix + m_slot.
  std::string queueName(const char* prefix) const { return prefix + m_slot; }
  // The process-wide first-refresh tick of the display.
  static DWORD s_firstRefreshTick;

  // HTTP handlers.
  LRESULT onHttpClose(WPARAM wParam, LPARAM lParam);
  LRESULT onHttpRead(WPARAM wParam, LPARAM lParam);
  LRESULT onHttpWrite(WPARAM wParam, LPARAM lParam);
  // FTP handlers.
  LRESULT onFtpCtrlRead(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpCtrlWrite(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpCtrlClose(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpAccept(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpDataClose(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpDataRead(WPARAM wParam, LPARAM lParam);
  LRESULT onFtpPassiveConnected(WPARAM wParam, LPARAM lParam);
  // A connect that failed after being in progress.
  LRESULT onConnectResult(WPARAM wParam, LPARAM lParam);
  LRESULT onDataConnectResult(WPARAM wParam, LPARAM lParam);
  LRESULT ignore(WPARAM, LPARAM) { return 0; }

  // Pieces of the HTTP reply handling.
  bool httpStatusLine(const std::string& value);  // false: the reply was given up
  void httpHeaderLine(const std::string& name, const std::string& value);
  void httpAuthenticate(const std::string& value);
  void httpValidator(const std::string& value);
  bool giveUpReply();
  void httpBody();
  bool httpChunkedBody(std::int64_t n);
  int m_redirectCount = 0;
  bool m_peerClosed = false;  // the current connection's close event has come
  // Chunked replies: the framing is taken off before the bytes reach the file.
  bool m_chunked = false;
  int m_chunkState = 0;  // 0 size line, 1 data, 2 line end after data, 3 trailer, 4 done
  std::int64_t m_chunkLeft = 0;
  std::string m_chunkLine;

  // Pieces of the FTP conversation.
  void ftpSendStep();
  void ftpPassiveSetup(const std::string& line);
  void ftpTakeSize(const std::string& line);
  void ftpLoginRefused();
  void ftpRefused();
  void ftpCommandFailed();
  bool m_ftpPrompting = false;
  static int s_ftpMultiLine;
  static int s_ftpMultiCode;

  // Helpers shared by the protocol parts.
  void failConnect(int error, const std::string& serverName);
  void askResumeLaterAndGiveUp(bool abandonAfter);

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;

 private:
  LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
  LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
  LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
  LRESULT OnMove(WPARAM wParam, LPARAM lParam);
  LRESULT OnSize(WPARAM wParam, LPARAM lParam);
  LRESULT OnPaint(WPARAM, LPARAM) { return 0; }
  LRESULT OnQueryDragIcon(WPARAM, LPARAM) { return m_hIcon; }
  void OnPauseButton() { togglePause(); }
  void OnCancelButton() { OnCancel(); }

  bool m_leaseHeld = false;

 public:
  // The slot reservation of this process (released when the session ends).
  void releaseLease();
  bool takeLease(const std::string& slot);
};
