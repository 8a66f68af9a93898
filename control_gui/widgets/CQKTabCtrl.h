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

class CQKControlTask;

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
    // payload holds the page's values. Every invalid field shows its error tip.
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
};
