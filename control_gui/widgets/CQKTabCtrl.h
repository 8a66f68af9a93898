// The tab control of the main window: the "Client", "Server" and "Common Settings" pages.
//
// The pages show what the services or their files hold, validate every field before it
// leaves the page and turn Apply, Revert, tab switches, minimising and closing into
// configuration requests for the control queue. Answers come back from the main window as
// ClnsCtrlToDlg, SrvsCtrlToDlg and GuiParamsToDlg.
//
// A tab the user picks is not switched to at once: once the main window is registered, the
// pick is announced with switchTabCtrl (the main window connects it queued) and the main
// window switches with DlgToCtrl, ApplyCtrl and SwitchTab when the page may be left.
//
// Everything runs on the user-interface thread.
#pragma once

#include <QTabWidget>

#include "SQKConfigCodeCtrl.h"

class CQKClientDlg;
class CQKControlTask;
class CQKServerDlg;
class CQKSettingsDlg;
class CQKTabDlg;
class QToolButton;

class CQKTabCtrl : public QTabWidget {
    Q_OBJECT
public:
    enum Tab { kClientTab = 0, kServerTab = 1, kSettingsTab = 2 };

    explicit CQKTabCtrl(QWidget* parent = nullptr);

    // Before create(); the queue outlives the tab control's use of it.
    void setControlTask(CQKControlTask* task);
    // Builds the pages and adds the three tabs; adding the first activates it, so the client
    // tab's file and read requests (1 and 3) are queued at once.
    void create();
    // From now on tab picks are announced with switchTabCtrl.
    void registerMainWindow();

    // Whether the active page may be left: true when all its values are valid, and then
    // payload holds the page's values. The first invalid field shows its error tip.
    bool DlgToCtrl(SQKConfigCodeCtrl::Payload& payload);
    // Applies (after the save question) or drops the active page's edits.
    void ApplyCtrl(SQKConfigCodeCtrl::Payload payload);
    // Reads the tab's data and activates it.
    void SwitchTab(int tab);

    void ClnsCtrlToDlg(const SQKClnSCtrl& ctrl);
    void SrvsCtrlToDlg(const SQKSrvSCtrl& ctrl);
    void GuiParamsToDlg(const SQKGuiParams& params);

    // The pick of a tab (by the user, or the tab-list menu): announced once the main window is
    // registered, else read and activated at once.
    void SetActiveTab(int tab);

Q_SIGNALS:
    void switchTabCtrl(int tab);

protected:
    // Ctrl+Tab and Ctrl+Shift+Tab pick the next or previous tab like a click.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The pages' Apply and Revert buttons act on the active page through the tab control.
    friend class CQKTabDlg;

    // Queues the tab's file request on its first activation, then its read request.
    void ReadCtrl(int tab);
    // Reads the active tab again, after the question when its page is modified.
    void RevertCtrl();
    void OnTabCtrlClient();
    void OnTabCtrlServer();
    void OnTabCtrlCommonSettings();

    void createTabListButton();
    CQKTabDlg* page(int tab) const;
    void resetAllModified();
    bool ask(const QString& question);
    // False (and logged) without a registered control queue.
    bool queue(std::int32_t code, SQKConfigCodeCtrl::Payload payload = {});
    static bool fitsTab(int tab, const SQKConfigCodeCtrl::Payload& payload);

    CQKControlTask* m_control_task = nullptr;
    bool m_main_window = false;  // tab picks are announced once it is registered
    CQKClientDlg* m_client = nullptr;
    CQKServerDlg* m_server = nullptr;
    CQKSettingsDlg* m_settings = nullptr;
    bool m_file_read[2] = {false, false};  // the client's and server's file requests went out
    QToolButton* m_tab_list = nullptr;
};
