// Our stand-in for the framework's application object: start-up, the main window, shutdown.
#pragma once

class CDialog;

class CWinApp {
 public:
  virtual ~CWinApp() = default;
  // False when the program should not go on; the exit code is then whatever InitInstance chose.
  virtual bool InitInstance() { return true; }
  virtual int ExitInstance() { return 0; }
  // InitInstance, then ExitInstance; returns the process's exit code.
  int Run();

  CDialog* m_pMainWnd = nullptr;

 protected:
  int exitCode_ = 0;
};
