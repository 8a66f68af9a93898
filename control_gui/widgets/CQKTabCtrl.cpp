#include "CQKTabCtrl.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>

#include <functional>
#include <memory>

#include "CQKClientDlg.h"
#include "CQKControlTask.h"
#include "CQKGuiLog.h"
#include "CQKServerDlg.h"
#include "CQKSettingsDlg.h"
#include "CQKTabBar.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "qk_gui_common.h"

namespace {

struct SQKTabInfo {
    const char* label;
    std::int32_t file_code;   // read on the first activation only
    std::int32_t read_code;   // read on every activation
    std::int32_t apply_code;  // Apply
    QKIcon icon;
    const char* menu_id;  // the tab-list menu command
};

const SQKTabInfo kTabs[] = {
    {"Client", read_file_conf_clns, read_conf_clns, apply_conf_clns, QKIcon::client, "32780"},
    {"Server", read_file_conf_srvs, read_conf_srvs, apply_conf_srvs, QKIcon::server, "32781"},
    {"Common Settings", empty_conf, read_file_gui_params, apply_gui_params, QKIcon::settings,
     "32782"},
};
constexpr int kTabCount = 3;

bool is_tab(int tab) {
    return tab >= 0 && tab < kTabCount;
}

CQKGuiLog& gui() {
    return CQKGuiLog::instance();
}

}  // namespace

CQKTabCtrl::CQKTabCtrl(QWidget* parent) : QTabWidget(parent) {
    auto* bar = new CQKTabBar(this);
    setTabBar(bar);
    connect(bar, &CQKTabBar::tabPicked, this, &CQKTabCtrl::SetActiveTab);
}

void CQKTabCtrl::setControlTask(CQKControlTask* task) {
    m_control_task = task;
}

void CQKTabCtrl::create() {
    qk_gui_tag("CQKTabCtrl::create()");
    setIconSize(QSize(24, 24));
    createTabListButton();
    m_client = new CQKClientDlg(this);
    m_server = new CQKServerDlg(this);
    m_settings = new CQKSettingsDlg(this);
    CQKTabDlg* const pages[kTabCount] = {m_client, m_server, m_settings};
    for (int tab = 0; tab < kTabCount; ++tab) {
        addTab(pages[tab], qk_icon(kTabs[tab].icon), QString::fromUtf8(kTabs[tab].label));
        if (tab == kClientTab) {
            // The first tab is active at once: its file and read requests go out now.
            gui().addLogMessageFrmt("Switching to tab: '%s'", kTabs[tab].label);
            SwitchTab(tab);
        }
    }
}

void CQKTabCtrl::createTabListButton() {
    auto* menu = new QMenu(this);
    const std::function<void()> commands[kTabCount] = {
        [this] { OnTabCtrlClient(); },
        [this] { OnTabCtrlServer(); },
        [this] { OnTabCtrlCommonSettings(); },
    };
    for (int tab = 0; tab < kTabCount; ++tab) {
        QAction* action =
            menu->addAction(qk_icon(kTabs[tab].icon), QString::fromUtf8(kTabs[tab].label));
        action->setObjectName(QString::fromUtf8(kTabs[tab].menu_id));
        connect(action, &QAction::triggered, this, commands[tab]);
    }
    m_tab_list = new QToolButton(this);
    m_tab_list->setObjectName(QStringLiteral("tab_list"));
    m_tab_list->setToolTip(QStringLiteral("Select Active Tab"));
    m_tab_list->setArrowType(Qt::DownArrow);
    m_tab_list->setAutoRaise(true);
    m_tab_list->setPopupMode(QToolButton::InstantPopup);
    m_tab_list->setMenu(menu);
    setCornerWidget(m_tab_list, Qt::TopRightCorner);
}

void CQKTabCtrl::registerMainWindow() {
    m_main_window = true;
}

bool CQKTabCtrl::DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::DlgToCtrl()");
    bool valid = false;
    qk_run_reporting(&tag, [&] {
        if (CQKTabDlg* active = page(currentIndex()))
            valid = active->DlgToCtrl(payload);
    });
    return valid;
}

void CQKTabCtrl::ApplyCtrl(SQKConfigCodeCtrl::Payload payload) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::ApplyCtrl()");
    qk_run_reporting(&tag, [&] {
        const int tab = currentIndex();
        CQKTabDlg* active = page(tab);
        if (active == nullptr || !active->IsPageModified())
            return;
        if (!fitsTab(tab, payload)) {
            // Applying it would save whatever the configuration control held before.
            log_message(LOG_LEVEL_ERROR, &tag, "The payload does not belong to tab %d", tab);
            return;
        }
        if (!ask(QStringLiteral(
                "Do you want to save the changes you've made in the property pages?")))
            return;
        resetAllModified();
        queue(kTabs[tab].apply_code, std::move(payload));
    });
}

void CQKTabCtrl::SwitchTab(int tab) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::SwitchTab()");
    if (!is_tab(tab) || page(tab) == nullptr)
        return;
    qk_run_reporting(&tag, [&] {
        ReadCtrl(tab);
        setCurrentIndex(tab);
        gui().addLogMessageFrmt("Switched to tab: '%s'", kTabs[tab].label);
    });
}

void CQKTabCtrl::SetActiveTab(int tab) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::SetActiveTab()");
    if (!is_tab(tab))
        return;
    qk_run_reporting(&tag, [&] {
        gui().addLogMessageFrmt("Switching to tab: '%s'", kTabs[tab].label);
        if (m_main_window)
            Q_EMIT switchTabCtrl(tab);  // the main window decides whether the page may be left
        else
            SwitchTab(tab);
    });
}

void CQKTabCtrl::OnTabCtrlClient() {
    if (currentIndex() != kClientTab)
        SetActiveTab(kClientTab);
}

void CQKTabCtrl::OnTabCtrlServer() {
    if (currentIndex() != kServerTab)
        SetActiveTab(kServerTab);
}

void CQKTabCtrl::OnTabCtrlCommonSettings() {
    if (currentIndex() != kSettingsTab)
        SetActiveTab(kSettingsTab);
}

void CQKTabCtrl::ReadCtrl(int tab) {
    qk_gui_tag("CQKTabCtrl::ReadCtrl()");
    if (!is_tab(tab))
        return;
    if (tab != kSettingsTab && !m_file_read[tab]) {
        resetAllModified();
        m_file_read[tab] = queue(kTabs[tab].file_code);
    }
    resetAllModified();
    queue(kTabs[tab].read_code);
}

void CQKTabCtrl::RevertCtrl() {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::RevertCtrl()");
    qk_run_reporting(&tag, [this] {
        const int tab = currentIndex();
        CQKTabDlg* active = page(tab);
        if (active == nullptr)
            return;
        if (active->IsPageModified() &&
            !ask(QStringLiteral("All changes will be lost. Are you sure?")))
            return;
        ReadCtrl(tab);
    });
}

void CQKTabCtrl::ClnsCtrlToDlg(const SQKClnSCtrl& ctrl) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::ClnsCtrlToDlg()");
    qk_run_reporting(&tag, [&] {
        if (m_client == nullptr)
            return;
        m_client->CtrlToDlg(ctrl);
        gui().addLogMessage(
            "Dialog Controls have been updated, according to read Client Parameters");
    });
}

void CQKTabCtrl::SrvsCtrlToDlg(const SQKSrvSCtrl& ctrl) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::SrvsCtrlToDlg()");
    qk_run_reporting(&tag, [&] {
        if (m_server == nullptr)
            return;
        m_server->CtrlToDlg(ctrl);
        gui().addLogMessage(
            "Dialog Controls have been updated, according to read Server Parameters");
    });
}

void CQKTabCtrl::GuiParamsToDlg(const SQKGuiParams& params) {
    QKLogTag tag = qk_gui_tag("CQKTabCtrl::GuiParamsToDlg()");
    qk_run_reporting(&tag, [&] {
        if (m_settings == nullptr)
            return;
        m_settings->CtrlToDlg(params);
        gui().addLogMessage("Dialog Controls have been updated, according to read GUI Parameters");
    });
}

void CQKTabCtrl::keyPressEvent(QKeyEvent* event) {
    const bool tab_key = event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab;
    if (!tab_key || !(event->modifiers() & Qt::ControlModifier) || count() < 2) {
        QTabWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    const bool back = event->key() == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
    SetActiveTab((currentIndex() + (back ? count() - 1 : 1)) % count());
}

CQKTabDlg* CQKTabCtrl::page(int tab) const {
    switch (tab) {
        case kClientTab:
            return m_client;
        case kServerTab:
            return m_server;
        case kSettingsTab:
            return m_settings;
        default:
            return nullptr;
    }
}

void CQKTabCtrl::resetAllModified() {
    for (int tab = 0; tab < kTabCount; ++tab)
        if (CQKTabDlg* each = page(tab))
            each->ResetModified();
}

bool CQKTabCtrl::ask(const QString& question) {
    return QMessageBox::question(this, kQKBoxTitle, question, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

bool CQKTabCtrl::queue(std::int32_t code, SQKConfigCodeCtrl::Payload payload) {
    QKLogTag tag = qk_make_tag("CQKTabCtrl::queue()");
    if (m_control_task == nullptr) {
        log_message(LOG_LEVEL_ERROR, &tag, "No control queue for the request %d", code);
        return false;
    }
    auto request = std::make_unique<SQKConfigCodeCtrl>();
    request->config_code_ctrl = code;
    request->data = std::move(payload);
    m_control_task->addConfgCodeCtrl(std::move(request));
    return true;
}

bool CQKTabCtrl::fitsTab(int tab, const SQKConfigCodeCtrl::Payload& payload) {
    switch (tab) {
        case kClientTab:
            return std::holds_alternative<SQKClnSCtrl>(payload);
        case kServerTab:
            return std::holds_alternative<SQKSrvSCtrl>(payload);
        case kSettingsTab:
            return std::holds_alternative<SQKGuiParams>(payload);
        default:
            return false;
    }
}
