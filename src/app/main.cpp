#include "app/download_app.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  CDownloadApp app;
  if (auto status = app.takeOptions(argc, argv)) return *status;
  return RunProcess(app, argc, argv);
}
