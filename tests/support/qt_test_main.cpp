// Test main with an event loop: sockets, timers and posted messages need one.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
