// The FTP client: the control conversation as a state machine, and the data connection
// (passive: we connect, EPSV then PASV; active when the server refuses both, or when
// configured: we listen and the server connects; through a proxy always passive).
#pragma once
#include "transfer/ftp_parse.h"
#include "transfer/transfer.h"

class FtpTransfer : public Transfer {
 public:
  FtpTransfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile)
      : Transfer(std::move(req), events, std::move(outFile)),
        m_user(m_req.address.m_user),
        m_password(m_req.address.m_password),
        m_dataMode(m_req.ftpPassive ? DataMode::Extended : DataMode::Active) {}

  bool newLogin(const std::string& user, const std::string& password) override;

  // For tests: where the data connection was listened for, and the passive host a reply named.
  const std::string& listenAddress() const { return m_listenAddress; }
  const std::string& passiveHost() const { return m_pasvHost; }

 protected:
  void onSocketEvent(int kind, sockmsg::Event event, int error) override;
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
    SendSize,
    SizeSent,
    SendMdtm,
    MdtmSent,
    SendPort,
    PortSent,
    SendPasv,
    PasvSent,
    SendRest,
    RestSent,
    SendRetr,
    RetrSent,
  };

  // How the direct data connection is asked for; each refusal steps to the next.
  enum class DataMode { Extended, Classic, Active };

  void onCtrlRead();
  void onCtrlWrite();
  void onCtrlClose();
  void onConnectResult(int error);
  void onAccept();
  void onDataRead();
  void onDataClose(int error);
  void onDataConnectResult(int error);
  void onPassiveConnected();
  // The reply lines that wait in the buffer, while a reply is awaited.
  void replyLines();
  // The size named in the reply to RETR, or none (-1): what this connection will bring.
  void announce(std::int64_t size);

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
  // The server refused passive mode: the next way to ask for a data connection, or false.
  bool passiveRefused();
  void loginRefused();
  void refused(int code);

  State m_state = State::Greeting;
  FtpReplyReader m_replies;
  std::string m_ftpReply;          // the reply being assembled, for the session to show
  bool m_prompting = false;        // the session is asking for a new login
  bool m_transferStarted = false;  // the preliminary reply to RETR (150) has come
  bool m_finalReply = false;       // 226/250 to RETR has come
  bool m_cutOff = false;  // the final reply said the transfer was cut off
  bool m_dataDone = false;         // the data connection closed cleanly
  bool m_ctrlClosed = false;       // the server closed the control connection
  bool m_restRefused = false;      // REST was refused: the server sends whole files only
  std::string m_user, m_password;  // the login, a new one after a refusal
  DataMode m_dataMode;
  std::int64_t m_length = -1;       // the bytes the server named for this connection, -1 unknown
  std::int64_t m_fileSize = -1;     // the whole file's size as SIZE named it, -1 none
  std::string m_modified;           // the file's time as MDTM named it: its version, "" none
  std::uint16_t m_dataPort = 0;
  std::string m_pasvHost;
  std::string m_listenAddress;
  std::unique_ptr<CSessionSocket> m_listenSocket;
  std::unique_ptr<CSessionSocket> m_dataSocket;
};
