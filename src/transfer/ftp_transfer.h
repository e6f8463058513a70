// The FTP client: the control conversation as a state machine, and the data connection
// (active: we listen and the server connects; passive through a proxy: we connect).
#pragma once
#include "transfer/ftp_parse.h"
#include "transfer/transfer.h"

class FtpTransfer : public Transfer {
 public:
  using Transfer::Transfer;

  // For tests: where the data connection was listened for, and the passive host a reply named.
  const std::string& listenAddress() const { return m_listenAddress; }
  const std::string& passiveHost() const { return m_pasvHost; }

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  int socketKind() const override { return sockmsg::kFtpControl; }
  void closeSockets() override;

 private:
  // Each command is sent in a Send state; its Sent state waits for the reply.
  enum class State {
    Greeting,
    SendUser,
    UserSent,
    SendPass,
    PassSent,
    SendType,
    TypeSent,
    SendPort,
    PortSent,
    SendPasv,
    PasvSent,
    SendRest,
    RestSent,
    SendRetr,
    RetrSent,
  };

  LRESULT onCtrlRead(WPARAM wParam, LPARAM lParam);
  LRESULT onCtrlWrite(WPARAM wParam, LPARAM lParam);
  LRESULT onCtrlClose(WPARAM wParam, LPARAM lParam);
  LRESULT onConnectResult(WPARAM wParam, LPARAM lParam);
  LRESULT onAccept(WPARAM wParam, LPARAM lParam);
  LRESULT onDataRead(WPARAM wParam, LPARAM lParam);
  LRESULT onDataClose(WPARAM wParam, LPARAM lParam);
  LRESULT onDataConnectResult(WPARAM wParam, LPARAM lParam);
  LRESULT onPassiveConnected(WPARAM wParam, LPARAM lParam);

  bool asking() const override { return m_prompting; }
  bool waitingForReply() const;
  // The file is complete only with the final reply on the control connection, the data
  // connection closed cleanly, and every announced byte on disk.
  void checkComplete();
  // Opens the active-mode listener on the control connection's own address.
  bool listenForData();
  void positiveReply(const std::string& line);
  void sendStep();
  void passiveSetup(const std::string& line);
  void loginRefused();
  void refused();

  State m_state = State::Greeting;
  FtpReplyReader m_replies;
  std::string m_ftpReply;          // the reply being assembled, for the session to show
  bool m_prompting = false;        // the session is asking for a new login
  bool m_transferStarted = false;  // the preliminary reply to RETR (150) has come
  bool m_finalReply = false;       // 226/250 to RETR has come
  bool m_dataDone = false;         // the data connection closed cleanly
  bool m_ctrlClosed = false;       // the server closed the control connection
  std::uint16_t m_dataPort = 0;
  std::string m_pasvHost;
  std::string m_listenAddress;
  std::unique_ptr<CSessionSocket> m_listenSocket;
  std::unique_ptr<CSessionSocket> m_dataSocket;
};
