#pragma once

#include "KivoSettings.h"
#include "OpenDialog.h"
#include "ProjectSession.h"
#include "Vars.h"
#include "ui_Mainformunit.h"

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TVarGrid;

// The main window: holds the settings, the open project and its variable table, shows the
// variables in a grid that is refreshed as soon as the expert has written the file (and by the
// timer every second where the file system tells nothing), and turns double-clicks and Enter into
// changes that are merged into the project file. The project's file, journal and the judgement of
// the expert's side are its session's (ProjectSession.h); the grid's cells are TVarGrid's.
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
    void TerminalFolder1Click();
    void History1Click();
    void Undo1Click();
    void Timer1Timer();
    void StringGrid1DblClick();

    // Settings file. SettingsFileName is the file WriteSettings writes now.
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
    // writing nothing, when the file is gone, incomplete or read-only, no longer holds the
    // variable the change was meant for, or another writer changed it under every attempt.
    // Throws Exception when the file cannot be written; the old file then stays as it was.
    bool SaveProject(const TVarChange &change);
    // The same for changes saved as one set, all or none.
    bool SaveProject(const std::vector<TVarChange> &changes);
    void RefreshVars();
    void CloseProject();
    // Opens the project at path as Open... does once a file is chosen: the validity test, the
    // settings written first, all or nothing. The command line, a dropped file and the recent
    // list come here.
    void OpenProject(const std::string &path);
    // Empties the recent list, in the settings too.
    void ClearRecent();
    // SaveProject, then RefreshVars; tells the user why when the change was not saved. Every
    // change goes into the journal, saved or not, and a saved one waits for the expert.
    bool SaveChange(const TVarChange &change);
    // The same for changes saved as one set (Edit > Gather changes, a preset), all or none.
    bool SaveChanges(const std::vector<TVarChange> &changes);

    TKivoSettings Settings;
    std::string AppDir;
    std::string &MTPath = Settings.MTPath;
    std::string &ProjectPath = Settings.Project;
    std::vector<std::string> &RecentProjects = Settings.Recent;
    static constexpr int MaxRecent = TKivoSettings::MaxRecent;
    bool ProjectOpen = false;
    bool Saving = false;
    std::int32_t VarCount = 0;
    TVarTable Vars;

    // The open project's file, journal and judgement of the expert's side.
    TProjectSession &Session() { return *FSession; }
    TProjectFile &ProjectFile() { return FSession->File(); }
    TVarGrid &VarGrid() { return *FGrid; }

    QTimer *Timer1;
    TOpenDialog OpenDialog1;

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void SetCaption(const std::string &caption);
    // Copies the settings, changes the copy, writes it, and only then takes it: when the write
    // fails the settings stay as they were, and the failure goes on to the caller.
    void ChangeSettings(const std::function<void(TKivoSettings &)> &change);
    // After a project was opened: the grid emptied, the file read soon, another copy of Kivo on
    // it told once.
    void Opened();
    // A Yes/No question about a row, No the default, naming its variable: true for Yes.
    bool Ask(const std::string &text, int index);
    // The line under the grid: the file's state, what waits for the expert, and when it wrote.
    void UpdateStatusLine();
    void UpdateUndo();
    void TellJournalFailure();

    bool FShown = false;
    TProjectSession *FSession;
    TVarGrid *FGrid;
    TProjectSession::TResult FLastSave;
    QDateTime FSessionStart = QDateTime::currentDateTimeUtc();
    bool FJournalFailureTold = false;
    int FOwnRow = 0;    // the row whose change the user just saved: no news to the user
    bool FRead = false; // the last ReadProject took the file
};

extern TMainForm *MainForm;
