#include "app/download_app.h"
#include "platform/run.h"

int main(int argc, char** argv) {
  CDownloadApp app;
  return AfxWinMain(app, argc, argv);
}
