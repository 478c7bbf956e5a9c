#pragma once

#include "ui_Varchangeformunit.h"

#include <QDialog>

#include <cstdint>
#include <string>

// The change-variable dialog: shows one variable of the main window's table, checks the typed
// text against the variable's type and saves it as typed.
class TVarChangeForm : public QDialog, private Ui::TVarChangeForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TVarChangeForm)

public:
    explicit TVarChangeForm(QWidget *Owner);
    ~TVarChangeForm() override;

    int ShowModal() { return exec(); }

    void FormShow();
    void Button1Click();
    void Button2Click();
    // The limits editor for the variable shown (an integer or a double).
    void Button3Click();
    // A refresh of the main window's table while the dialog is open: says so when the expert
    // has written another value for the variable, or when the variable is gone.
    void Refreshed();

    std::int32_t VarIndex = 0;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Arrange();
    void ShowNote(const QString &note);

    // Title and type of the variable as the dialog showed it, so that a save lands on that
    // variable or nowhere.
    std::string FShownTitle;
    std::int32_t FShownType = 0;
    std::string FShownValue;
    // The newest value a refresh has shown for it, which OK is judged against, and whether the
    // variable is gone from the file.
    std::string FLatestValue;
    bool FGone = false;
    int FNameExtra = 0;
    int FHintExtra = 0;
};

extern TVarChangeForm *VarChangeForm;
