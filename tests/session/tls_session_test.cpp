// An https session in-process against openssl's own test server (s_server -WWW), with a
// certificate made for the test and trusted through SSL_CERT_FILE.
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <sstream>

#include "script_server.h"
#include "session_helpers.h"
#include "transfer/connection_pool.h"
#include "transfer_helpers.h"

namespace {

struct TlsServer {
  pid_t pid = -1;
  int port = closedPort();
  explicit TlsServer(const std::string& dir) {
    std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
                       "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                       key + " -out " + cert + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) return;
    // The process's one TLS context reads the trust store when the first connection is made.
    ::setenv("SSL_CERT_FILE", cert.c_str(), 1);
    pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      ::execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", std::to_string(port).c_str(), "-cert",
               cert.c_str(), "-key", key.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    spinUntil([&] { return connectable(); }, 5000);
  }
  bool connectable() const {
    int fd = connectLoopback("127.0.0.1", port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }
  ~TlsServer() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// nginx on two ports with the test's certificate, serving dir/www: the first keeps connections
// alive, the second closes each after its reply. Its log: port, connection number, "r" for a
// resumed TLS session.
struct Nginx {
  pid_t pid = -1;
  int keeping = closedPort(), closing = closedPort();
  std::string log;
  explicit Nginx(const std::string& dir) : log(dir + "/access.log") {
    std::string conf = dir + "/nginx.conf";
    std::ofstream(conf) << "master_process off; daemon off; worker_processes 1; pid " << dir << "/nginx.pid;\n"
                        << "error_log " << dir << "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
                        << "  log_format pool '$server_port $connection $ssl_session_reused';\n"
                        << "  access_log " << log << " pool;\n"
                        << "  client_body_temp_path " << dir << "/t1; proxy_temp_path " << dir << "/t2;\n"
                        << "  fastcgi_temp_path " << dir << "/t3; uwsgi_temp_path " << dir << "/t4; scgi_temp_path "
                        << dir << "/t5;\n  ssl_certificate " << dir << "/cert.pem; ssl_certificate_key " << dir
                        << "/key.pem;\n  root " << dir << "/www;\n"
                        << "  server { listen 127.0.0.1:" << keeping << " ssl; }\n"
                        << "  server { listen 127.0.0.1:" << closing << " ssl; keepalive_timeout 0; }\n}\n";
    pid = ::fork();
    if (pid == 0) {
      std::string errors = dir + "/error.log";
      for (const char* nginx : {"nginx", "/usr/sbin/nginx"})
        ::execlp(nginx, "nginx", "-p", dir.c_str(), "-c", conf.c_str(), "-e", errors.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    spinUntil([&] {
      int fd = connectLoopback("127.0.0.1", closing);
      if (fd >= 0) ::close(fd);
      return fd >= 0;
    }, 5000);
  }
  // The log once it has n lines (each is written as its request ends).
  std::vector<std::string> lines(std::size_t n) {
    std::vector<std::string> got;
    spinUntil([&] {
      got.clear();
      std::istringstream in(readWholeFile(log));
      for (std::string line; std::getline(in, line);) got.push_back(line);
      return got.size() >= n;
    }, 3000);
    return got;
  }
  ~Nginx() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// One test: the process's TLS context trusts the first certificate it was shown.
TEST(TlsSession, DownloadsAndShowsTheSecuredConnectionBeforeTheRequest) {
  TestEnvironment env;
  TlsServer srv(env.path(""));
  ASSERT_GT(srv.pid, 0) << "openssl could not make the certificate";
  const std::string body = bytesOf(50000, 3);
  writeWholeFile(env.path("f.bin"), body);
  env.ui().saveAnswers.push_back(env.path("out.bin"));
  auto dlg = runSession(env, "https://127.0.0.1:" + std::to_string(srv.port) + "/f.bin");
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_EQ(readWholeFile(env.path("out.bin")), body);
  const std::string& log = dlg->m_job.headers();
  auto secured = log.find("----Secure Connection----\r\nTLSv1.3, TLS_");
  auto sent = log.find("----Header Sent----\r\nGET /f.bin HTTP/1.1\r\n");
  ASSERT_NE(secured, std::string::npos) << log;
  EXPECT_LT(secured, sent) << log;
  EXPECT_NE(log.find("\r\nSubject: CN = 127.0.0.1\r\nIssuer: CN = 127.0.0.1\r\n"), std::string::npos) << log;

  // A live but slow peer: the server's first 800 bytes (its handshake) come 50 at a time,
  // 0.25 s apart, so the handshake takes longer than Timeout while no pause in it does.
  ScriptServer relay([&](ScriptConn& c, int) {
    int up = connectLoopback("127.0.0.1", srv.port);
    pollfd fds[2] = {{c.fd(), POLLIN, 0}, {up, POLLIN, 0}};
    char buf[16384];
    std::size_t fromServer = 0;
    for (bool open = true; open && ::poll(fds, 2, 5000) > 0;) {
      for (int i = 0; i < 2 && open; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        bool slow = i == 1 && fromServer < 800;
        ssize_t n = ::recv(fds[i].fd, buf, slow ? 50 : sizeof buf, 0);
        open = n > 0 && ::send(fds[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
        if (i == 1 && n > 0) fromServer += static_cast<std::size_t>(n);
        if (slow) ::usleep(250000);
      }
    }
    ::close(up);
  });
  env.app().WriteProfileInt(kSectionConfig, kTimeout, 2);
  env.ui().saveAnswers.push_back(env.path("slow.bin"));
  auto slow = runSession(env, "https://127.0.0.1:" + std::to_string(relay.port()) + "/f.bin", 30000);
  EXPECT_TRUE(slow->m_finished) << slow->m_urlText.GetWindowText();
  EXPECT_EQ(readWholeFile(env.path("slow.bin")), body);

  // Kept connections: three files of a server over one TLS connection; where the server
  // closes each, every new connection resumes the session of the one before.
  ::mkdir(env.path("www").c_str(), 0700);
  for (const char* name : {"a", "b", "c"}) writeWholeFile(env.path("www/") + name, bytesOf(30000, name[0]));
  Nginx nginx(env.path(""));
  ConnectionPool pool;
  auto make = pooledConnectionFactory(pool);
  for (int port : {nginx.keeping, nginx.closing})
    for (const char* name : {"a", "b", "c"}) {
      auto got = fetch(make, env, port, name, true);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].first, Outcome::Finished) << got[0].second;
      EXPECT_EQ(readWholeFile(env.path(name)), bytesOf(30000, name[0]));
    }
  auto k = std::to_string(nginx.keeping) + " ", c = std::to_string(nginx.closing) + " ";
  auto served = nginx.lines(6);
  ASSERT_EQ(served.size(), 6u);
  std::string conn = served[0].substr(k.size(), served[0].rfind(' ') - k.size());
  EXPECT_EQ(served[0], k + conn + " .");
  EXPECT_EQ(served[1], k + conn + " .");
  EXPECT_EQ(served[2], k + conn + " .");
  EXPECT_EQ(served[3].substr(0, c.size()), c);
  EXPECT_EQ(served[3].back(), '.');  // the first connection to this port: no session of its own yet
  EXPECT_EQ(served[4].back(), 'r');
  EXPECT_EQ(served[5].back(), 'r');
}

}  // namespace
