// Placeholder until the pages exist: three empty tabs, nothing queued.
#include "CQKTabCtrl.h"

#include <QWidget>

#include "qk_gui_common.h"

CQKTabCtrl::CQKTabCtrl(QWidget* parent) : QTabWidget(parent) {}
void CQKTabCtrl::setControlTask(CQKControlTask*) {}
void CQKTabCtrl::create() {
    addTab(new QWidget, qk_icon(QKIcon::client), QStringLiteral("Client"));
    addTab(new QWidget, qk_icon(QKIcon::server), QStringLiteral("Server"));
    addTab(new QWidget, qk_icon(QKIcon::settings), QStringLiteral("Common Settings"));
}
void CQKTabCtrl::registerMainWindow() {}
bool CQKTabCtrl::DlgToCtrl(SQKConfigCodeCtrl::Payload&) { return true; }
void CQKTabCtrl::ApplyCtrl(SQKConfigCodeCtrl::Payload) {}
void CQKTabCtrl::SwitchTab(int tab) { setCurrentIndex(tab); }
void CQKTabCtrl::ClnsCtrlToDlg(const SQKClnSCtrl&) {}
void CQKTabCtrl::SrvsCtrlToDlg(const SQKSrvSCtrl&) {}
void CQKTabCtrl::GuiParamsToDlg(const SQKGuiParams&) {}
void CQKTabCtrl::SetActiveTab(int tab) { SwitchTab(tab); }
