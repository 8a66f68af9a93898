#include "CQKTabDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <regex>
#include <system_error>

#include "CQKBalloonTip.h"
#include "CQKConfigControl.h"
#include "CQKTabCtrl.h"
#include "base/qk_host_address.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "qk_gui_common.h"

namespace {

// Paths are matched on their UTF-8 bytes, so a valid path always fits its 261-byte field.
const std::regex& path_pattern() {
    static const std::regex pattern("^.{1,260}$");
    return pattern;
}

const std::regex& port_pattern() {
    static const std::regex pattern("^[0-9]{1,5}$");
    return pattern;
}

const QString kWrongDirectory = QStringLiteral("Wrong Directory Path Value");
const QString kWrongFile = QStringLiteral("Wrong File Path Value");
const QString kWrongAddress = QStringLiteral("Wrong Address Value");
const QString kWrongPort = QStringLiteral("Wrong Port Value; Should be [1,65535]");
const QString kControlPort =
    QStringLiteral("Port Should Differ From Control Ports Of Common Settings");

QString id_name(int id) {
    return QString::number(id);
}

// Runs a validator's check as its own unit of work: an exception is logged and counts as a
// failed check.
template <typename Check>
bool validate(const char* tag_name, QLineEdit* edit, Check&& check) {
    QKLogTag tag = qk_gui_tag(tag_name);
    bool valid = false;  // stays false when the check throws
    qk_run_reporting(&tag, [&] { valid = check(edit->text().toStdString()); });
    return valid;
}

}  // namespace

CQKTabDlg::CQKTabDlg(CQKTabCtrl* tab_ctrl)
    : m_tab_ctrl(tab_ctrl), m_layout(new QVBoxLayout(this)), m_rows(new QGridLayout) {
    m_layout->addLayout(m_rows);
}

QLineEdit* CQKTabDlg::addEdit(int id, const QString& label, int limit, const QString& tip,
                              int picker_id, Picker picker, const QString& picker_tip) {
    const int row = m_rows->rowCount();
    auto* edit = new QLineEdit(this);
    edit->setObjectName(id_name(id));
    edit->setMaxLength(limit);
    edit->setToolTip(tip);
    auto* caption = new QLabel(label, this);
    caption->setBuddy(edit);
    m_rows->addWidget(caption, row, 0);
    m_rows->addWidget(edit, row, 1);
    if (picker_id != 0) {
        auto* button = new QPushButton(QStringLiteral("..."), this);
        button->setObjectName(id_name(picker_id));
        button->setToolTip(picker_tip);
        connect(button, &QPushButton::clicked, this,
                [this, edit, picker, picker_tip] { OnPick(edit, picker, picker_tip); });
        m_rows->addWidget(button, row, 2);
    }
    m_edits.push_back(edit);
    return edit;
}

QCheckBox* CQKTabDlg::addCheckBox(int id, const QString& text, const QString& tip) {
    auto* box = new QCheckBox(text, this);
    box->setObjectName(id_name(id));
    box->setToolTip(tip);
    m_changed[box] = false;
    // Only the user's clicks toggle the mark; filling a page does not click.
    connect(box, &QCheckBox::clicked, this, [this, box] { m_changed[box] = !m_changed[box]; });
    m_layout->addWidget(box);
    return box;
}

void CQKTabDlg::addButtons(int apply_id, int revert_id) {
    auto* apply = new QPushButton(QStringLiteral("Apply"), this);
    apply->setObjectName(id_name(apply_id));
    apply->setToolTip(QStringLiteral("Apply Changes"));
    connect(apply, &QPushButton::clicked, this, &CQKTabDlg::OnBnClickedButtonApply);
    auto* revert = new QPushButton(QStringLiteral("Revert"), this);
    revert->setObjectName(id_name(revert_id));
    revert->setToolTip(QStringLiteral("Revert Changes"));
    connect(revert, &QPushButton::clicked, this, &CQKTabDlg::OnBnClickedButtonRevert);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(apply);
    buttons->addWidget(revert);
    m_layout->addStretch();
    m_layout->addLayout(buttons);
}

bool CQKTabDlg::IsPageModified() const {
    for (const QLineEdit* edit : m_edits)
        if (edit->isModified())
            return true;
    for (const auto& [box, changed] : m_changed)
        if (changed)
            return true;
    return false;
}

void CQKTabDlg::ResetModified() {
    for (QLineEdit* edit : m_edits)
        edit->setModified(false);
    for (auto& entry : m_changed)
        entry.second = false;
}

bool CQKTabDlg::GetDirPathFromEdit(QLineEdit* edit, std::string& path) {
    path.clear();
    std::string text;
    const bool valid = validate("CQKTabDlg::GetDirPathFromEdit()", edit, [&](std::string value) {
        text = std::move(value);
        return text.empty() || ValidateDirPath(text);
    });
    if (valid)
        path = std::move(text);
    else
        ShowError(edit, kWrongDirectory);
    return valid;
}

bool CQKTabDlg::ValidateDirPath(const std::string& path) {
    QKLogTag tag = qk_gui_tag("CQKTabDlg::ValidateDirPath()");
    if (!std::regex_match(path, path_pattern()))
        return false;
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return true;
    std::filesystem::create_directories(path, error);
    if (error)
        log_message(LOG_LEVEL_ERROR, &tag, "Directory '%s' could not be created: %s", path.c_str(),
                    error.message().c_str());
    return std::filesystem::is_directory(path, error);
}

bool CQKTabDlg::GetFilePathFromEdit(QLineEdit* edit, std::string& path) {
    path.clear();
    std::string text;
    const bool valid = validate("CQKTabDlg::GetFilePathFromEdit()", edit, [&](std::string value) {
        text = std::move(value);
        return text.empty() || std::regex_match(text, path_pattern());
    });
    if (valid)
        path = std::move(text);
    else
        ShowError(edit, kWrongFile);
    return valid;
}

bool CQKTabDlg::GetAddressFromEdit(QLineEdit* edit, std::string& address) {
    address.clear();
    std::string text;
    const bool valid = validate("CQKTabDlg::GetAddressFromEdit()", edit, [&](std::string value) {
        text = std::move(value);
        return qk_is_server_address(text);
    });
    if (valid)
        address = std::move(text);
    else
        ShowError(edit, kWrongAddress);
    return valid;
}

bool CQKTabDlg::GetPortNumberFromEdit(QLineEdit* edit, std::int32_t& port, bool zero_allowed) {
    port = 0;
    std::int32_t number = 0;
    const bool valid = validate("CQKTabDlg::GetPortNumberFromEdit()", edit, [&](std::string text) {
        if (zero_allowed && text.empty())
            return true;
        if (!std::regex_match(text, port_pattern()))
            return false;
        number = std::stoi(text);  // at most five digits
        return number <= 65535 && (number >= 1 || zero_allowed);
    });
    if (valid)
        port = number;
    else
        ShowError(edit, kWrongPort);
    return valid;
}

// A file listener or a sender on a control port would meet the control listener there: the
// service refuses such values, and the port would no longer take the control program.
bool CQKTabDlg::NotControlPort(QLineEdit* edit, std::int32_t port) {
    const CQKConfigControl& control = CQKConfigControl::instance();
    if (port != control.clientControlPort() && port != control.serverControlPort())
        return true;
    ShowError(edit, kControlPort);
    return false;
}

void CQKTabDlg::BeginChecks() {
    m_tip_shown = false;
}

// Only the first wrong field of a pass shows its tip: tips of later fields would cover it
// and the fields between. The user corrects from the top; the next pass shows the next one.
void CQKTabDlg::ShowError(QLineEdit* edit, const QString& text) {
    if (m_tip_shown)
        return;
    m_tip_shown = true;
    CQKBalloonTip::showAt(edit, text);
}

void CQKTabDlg::SetEditText(QLineEdit* edit, const QString& text) {
    if (!edit->isModified())
        edit->setText(text);
}

void CQKTabDlg::SetCheck(QCheckBox* box, bool checked) {
    if (!m_changed[box])
        box->setChecked(checked);
}

std::int32_t CQKTabDlg::IsChecked(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

void CQKTabDlg::OnBnClickedButtonApply() {
    QKLogTag tag = qk_gui_tag("CQKTabDlg::OnBnClickedButtonApply()");
    qk_run_reporting(&tag, [this] {
        SQKConfigCodeCtrl::Payload payload;
        if (m_tab_ctrl->DlgToCtrl(payload))
            m_tab_ctrl->ApplyCtrl(std::move(payload));
    });
}

void CQKTabDlg::OnBnClickedButtonRevert() {
    QKLogTag tag = qk_gui_tag("CQKTabDlg::OnBnClickedButtonRevert()");
    qk_run_reporting(&tag, [this] { m_tab_ctrl->RevertCtrl(); });
}

void CQKTabDlg::OnPick(QLineEdit* edit, Picker picker, const QString& caption) {
    QKLogTag tag = qk_gui_tag("CQKTabDlg::OnPick()");
    qk_run_reporting(&tag, [&] {
        const QString start = edit->text().left(259);
        const QString picked = picker == Picker::folder
                                   ? QFileDialog::getExistingDirectory(this, caption, start)
                                   : QFileDialog::getOpenFileName(this, caption, start,
                                                                  QStringLiteral("All Files (*)"));
        if (picked.isEmpty())
            return;  // cancelled
        edit->setText(picked);
        edit->setModified(true);
    });
}
