#pragma once

#include "ChangeTracker.h"
#include "Journal.h"
#include "OpenDialog.h"
#include "ProjectFile.h"
#include "Vars.h"
#include "ui_Mainformunit.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The main window: holds the settings, the open project and its variable table, shows the
// variables in a grid that is refreshed soon after the file changes (and by the timer every
// second where the file system tells nothing), marks the cells a refresh changed for a moment,
// and turns double-clicks and Enter into changes that are merged into the project file.
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
    // writing nothing, when the file no longer holds the variable the change was meant for,
    // or another writer changed it under every attempt.
    // Throws Exception when the file cannot be written; the old file then stays as it was.
    bool SaveProject(const TVarChange &change);
    void RefreshVars();
    void CloseProject();
    // Opens the project at path as Open... does once a file is chosen: the validity test, the
    // settings written first, all or nothing. The command line, a dropped file and the recent
    // list come here.
    void OpenProject(const std::string &path);
    // Empties the recent list, in the settings too.
    void ClearRecent();
    // SaveProject, then RefreshVars; tells the user when the change could not be placed. Every
    // change goes into the journal, saved or not, and a saved one waits for the expert.
    bool SaveChange(const TVarChange &change);

    std::string AppDir;
    std::string MTPath;
    std::string ProjectPath;
    // The projects opened last, newest first, at most MaxRecent; kept in the settings file.
    std::vector<std::string> RecentProjects;
    static constexpr int MaxRecent = 8;
    // A change the expert has not taken after this many seconds turns the status line amber
    // (AckWarnSeconds in the settings).
    int AckWarnSeconds = 10;
    bool ProjectOpen = false;
    bool Saving = false;
    std::int32_t VarCount = 0;
    TVarTable Vars;

    // The project file: its reads, saves and watch.
    TProjectFile &ProjectFile() { return *FProject; }
    // How long a cell whose text a refresh changed stays highlighted.
    int HighlightMs = 2000;

    QTimer *Timer1;
    TOpenDialog OpenDialog1;

protected:
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void SetCaption(const std::string &caption);
    void FillRecentMenu();
    // Makes a change to the settings and writes them; when the write fails, the settings in
    // memory are put back as they were, and the failure goes on to the caller.
    void ChangeSettings(const std::function<void()> &change);
    // The line under the grid: when the expert last wrote, and what waits for it.
    void UpdateStatusLine();
    void UpdateUndo();
    void TellJournalFailure();
    void HighlightChanges();
    void FadeHighlights();
    void ClearHighlights();
    // Takes the highlight off one cell, numbered as in FLitUntil.
    void Unlight(std::size_t cell);
    // What the screen shows of a grid row (counted as in GridRow), in global coordinates;
    // empty when it is scrolled out of sight.
    QRect RowOnScreen(int row) const;

    bool FShown = false;
    TProjectFile *FProject;
    TProjectFile::TSaveResult FLastSave;
    bool FRead = false; // the last ReadProject took the file
    TJournal FJournal;
    TChangeTracker FTracker{FJournal};
    QDateTime FSessionStart = QDateTime::currentDateTimeUtc();
    bool FJournalFailureTold = false;
    bool FLate = false;

    // A fill is news once the project's first fill is done; the cells whose text it changed are
    // collected while it runs, except on FOwnRow, the row whose change the user just saved.
    bool FFilled = false;
    bool FCollecting = false;
    int FOwnRow = 0;
    std::vector<std::pair<int, int>> FChangedCells; // grid row, column
    // When the highlight of each cell ((row - 1) * 4 + column) ends, on FClock; 0 for none.
    std::vector<qint64> FLitUntil;
    QTimer *FHighlightTimer;
    QElapsedTimer FClock;
};

extern TMainForm *MainForm;

extern const char *const SettingsSection;
