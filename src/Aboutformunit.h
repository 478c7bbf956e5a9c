#pragma once

#include "ui_Aboutformunit.h"

#include <QDialog>
#include <QIcon>

class QKeyEvent;
class QShowEvent;

// The About box: the wordmark, what the program does, its version and an OK button.
class TAboutForm : public QDialog, private Ui::TAboutForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TAboutForm)

public:
    explicit TAboutForm(QWidget *Owner);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void Button1Click();
};

extern TAboutForm *AboutForm;

// The application icon with every size it is drawn at, for the windows' title bars.
QIcon KivoIcon();
