// Test main with an event loop: sockets, timers and posted messages need one.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  // Connections in these tests go straight to their loopback peers whatever the shell says.
  for (const char* v : {"http_proxy", "https_proxy", "ftp_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "FTP_PROXY",
                        "NO_PROXY"})
    ::unsetenv(v);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
