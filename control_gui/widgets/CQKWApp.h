// The application object of qk_relay_w: prepares the single-instance lock, logging,
// configuration, the path of qk_relay_ctrl and the first settings read, then creates the
// main window. Every start-up failure is told in an error box titled "qk_relay_w" and ends
// the program.
//
// Needs a QApplication; runs on its thread.
#pragma once

#include <memory>
#include <string>

#include "base/CQKInstanceLock.h"

class CQKDlg;

class CQKWApp {
public:
    CQKWApp();
    ~CQKWApp();
    CQKWApp(const CQKWApp&) = delete;
    CQKWApp& operator=(const CQKWApp&) = delete;

    // False when the start failed (after its box); the program then ends.
    bool InitInstance();
    // Destroys the window, closes the log and releases the crypto library; returns
    // exit_code.
    int ExitInstance(int exit_code);

    CQKDlg* mainWindow() const { return m_main_wnd.get(); }
    const std::string& ctrlPath() const { return m_ctrl_path; }

    // "qk_relay_ctrl" beside the running program, or "" when there is no such file.
    static std::string findController();
    // From now on SIGTERM, SIGINT, SIGQUIT and SIGHUP end the event loop (the window then
    // goes as on exit); the signal handler only wakes the user-interface thread.
    static void quitOnTermination();

private:
    bool start();
    void readOwnSettings();
    bool startMinimised() const;

    CQKInstanceLock m_instance_lock;
    std::string m_ctrl_path;
    std::unique_ptr<CQKDlg> m_main_wnd;
    bool m_crypto = false;
    bool m_log_open = false;
};
