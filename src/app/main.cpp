#include "app/download_app.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  CDownloadApp app;
  return RunProcess(app, argc, argv);
}
