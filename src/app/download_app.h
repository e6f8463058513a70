#pragma once
#include "platform/app.h"

class CDownloadApp : public CWinApp {
 public:
  bool InitInstance() override;
  void OnTerminate() override;

 private:
  void runSession();
  void runConfig();
};

// The usage text shown for an empty command line.
const char* UsageText();
