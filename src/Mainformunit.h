#pragma once

#include "OpenDialog.h"
#include "Vars.h"
#include "ui_Mainformunit.h"

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <string>

class TIniFile;

// The main window: holds the settings, the open project and its variable table, shows the
// variables in a grid that the timer refreshes every second, and turns double-clicks into
// changes that are merged into the project file.
class TMainForm : public QMainWindow, private Ui::TMainForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TMainForm)

public:
    explicit TMainForm(QWidget *Owner);
    ~TMainForm() override;

    // Event handlers.
    void About1Click();
    void FormShow();
    void Open1Click();
    void Close1Click();
    void Timer1Timer();
    void StringGrid1DblClick();

    // Settings file.
    void ReadSettings();
    void WriteSettings();
    std::string SettingsFileName() const;

    // Project file, table and grid.
    bool IsProjectFile(const std::string &path) const;
    void ResetGrid();
    void ReadProject();
    void FillGrid();
    void LoadProject();
    // Merges one change into what the file holds now and replaces the file. Returns false,
    // writing nothing, when the file no longer holds the variable the change was meant for,
    // or another writer changed it under every attempt.
    // Throws Exception when the file cannot be written; the old file then stays as it was.
    bool SaveProject(const TVarChange &change);
    void RefreshVars();
    void CloseProject();
    // SaveProject, then RefreshVars; tells the user when the change could not be placed.
    bool SaveChange(const TVarChange &change);

    std::string AppDir;
    std::string MTPath;
    std::string ProjectPath;
    bool ProjectOpen = false;
    bool Saving = false;
    std::int32_t VarCount = 0;
    TVarTable Vars;

    QTimer *Timer1;
    TOpenDialog OpenDialog1;

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void SetCaption(const std::string &caption);
    static std::int32_t ReadVars(const TIniFile &ini, TVarTable &table, std::int32_t &fileCount);

    bool FShown = false;
    // The table ReadProject last parsed and the bytes it was parsed from: a tick that finds the
    // file unchanged takes the table again instead of looking up every key once more.
    std::string FParsedBytes;
    bool FParsedValid = false;
    std::int32_t FParsedCount = 0;
    TVarTable FParsed;
};

extern TMainForm *MainForm;

extern const char *const ProjectSection;
extern const char *const SettingsSection;
