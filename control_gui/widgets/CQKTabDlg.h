// The common base of the parameter pages: building their rows, the four field validators
// with their error tip (one per validation pass), the modified marks, the Apply and Revert
// buttons and the pickers.
//
// Edits carry their own modified mark (set by typing and by the pickers). Check boxes carry
// a changed mark that every click toggles, so two clicks count as no change. Filling a page
// from an answer never overwrites a modified edit or a changed check box.
//
// Every control's numeric identifier is its object name ("1034"), so tests and accessibility
// tools find it. Everything runs on the user-interface thread.
#pragma once

#include <QWidget>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "SQKConfigCodeCtrl.h"

class CQKTabCtrl;
class QCheckBox;
class QGridLayout;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

class CQKTabDlg : public QWidget {
    Q_OBJECT
public:
    explicit CQKTabDlg(CQKTabCtrl* tab_ctrl);

    // True if an edit is marked modified or a check box's changed mark is set.
    bool IsPageModified() const;
    void ResetModified();
    // Validates every field (the first wrong one shows its tip) and, when all are valid, puts the
    // page's values into payload and returns true. payload is left alone otherwise.
    virtual bool DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) = 0;

protected:
    enum class Picker { folder, file };

    // One row: the label, the edit with its length limit and tool tip, and, for a picker
    // button id other than 0, a "..." button that fills the edit.
    QLineEdit* addEdit(int id, const QString& label, int limit, const QString& tip,
                       int picker_id = 0, Picker picker = Picker::folder,
                       const QString& picker_tip = QString());
    QCheckBox* addCheckBox(int id, const QString& text, const QString& tip);
    // The Apply and Revert buttons, below everything else.
    void addButtons(int apply_id, int revert_id);

    // The validators: each gives the field's value and true, or shows its failure text on
    // the edit and gives false (an empty text or 0).
    bool GetDirPathFromEdit(QLineEdit* edit, std::string& path);
    bool GetFilePathFromEdit(QLineEdit* edit, std::string& path);
    bool GetAddressFromEdit(QLineEdit* edit, std::string& address);
    bool GetPortNumberFromEdit(QLineEdit* edit, std::int32_t& port, bool zero_allowed);
    // False, with the tip, for a port the Common Settings give a service's control listener.
    bool NotControlPort(QLineEdit* edit, std::int32_t port);
    // An existing directory, or one created now with all missing parents.
    static bool ValidateDirPath(const std::string& path);
    // Starts a validation pass: its first failure shows its tip, later ones show none.
    void BeginChecks();
    void ShowError(QLineEdit* edit, const QString& text);

    // The filling rules: a modified edit and a changed check box keep what the user made.
    static void SetEditText(QLineEdit* edit, const QString& text);
    void SetCheck(QCheckBox* box, bool checked);
    static std::int32_t IsChecked(const QCheckBox* box);

private:
    void OnBnClickedButtonApply();
    void OnBnClickedButtonRevert();
    void OnPick(QLineEdit* edit, Picker picker, const QString& caption);

    CQKTabCtrl* m_tab_ctrl;
    QVBoxLayout* m_layout;
    QGridLayout* m_rows;
    std::vector<QLineEdit*> m_edits;
    std::map<const QCheckBox*, bool> m_changed;  // the check boxes and their changed marks
    bool m_tip_shown = false;                    // in the current validation pass
};
