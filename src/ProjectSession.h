#pragma once

#include "ExpertState.h"
#include "Journal.h"
#include "Limits.h"
#include "Presets.h"
#include "ProjectFile.h"
#include "Vars.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TProcessMark;

// One open project: its file and the watch of it, the journal of every change made to it, the
// judgement of the expert's side, and the changes this session can undo.
class TProjectSession : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TProjectSession)

public:
    explicit TProjectSession(QObject *parent = nullptr);
    ~TProjectSession() override;

    // The project worked on; "" for none. Another one starts afresh: nothing waits, nothing to
    // undo, and whether another copy of Kivo has it open is looked at.
    void SetProject(const std::string &path);
    const std::string &Project() const { return FProject; }

    TProjectFile &File() { return *FFile; }
    TJournal &Journal() { return FJournal; }
    const TExpertState &State() const { return FState; }
    // This copy of Kivo, as the journal names it.
    const QString &Kivo() const { return FKivo; }

    // A refresh: true when the file could be taken (vars and count then hold it, and what the
    // expert answered is journalled); false leaves both as they are.
    bool Refresh(TVarTable &vars, std::int32_t &count);

    struct TResult {
        TProjectFile::TOutcome Outcome = TProjectFile::TOutcome::NotThere;
        std::vector<TVarEntry> Before;
        std::vector<TVarEntry> After;
        // Not saved: what the user is told, and what to do about it.
        std::string Message;
        std::string Detail;
        bool Saved() const { return Outcome == TProjectFile::TOutcome::Saved; }
    };
    // Saves the changes, all in one save or none, journals them (as one group when they are
    // several) and waits for the expert's answer. shown: the table as the user saw it, for the
    // journal of a change that is not saved. Throws Exception, journalled, when the file
    // cannot be written.
    TResult Save(const std::vector<TVarChange> &changes, const TVarTable &shown);

    // The newest saved change (or set) of this session that Undo takes back: the changes that
    // undo it, each made only while its variable still holds what the undone change wrote, and
    // what it is, for the menu ("cancel of Close all", "change of 3 variables").
    struct TUndo {
        std::vector<TVarChange> Changes;
        std::vector<TVarEntry> Before; // of the undone changes
        std::vector<TVarEntry> After;
        std::string What; // bytes of the expert's code page (titles)
    };
    const TUndo *Undoable() const { return FUndo.empty() ? nullptr : &FUndo.back(); }
    void DropUndoable();
    // The question the undo asks: for one change, the one it would ask (activate, cancel,
    // toggle), while the variable, as vars shows it, still holds what the change wrote; for a set,
    // whether to undo it. "" for none.
    std::string UndoQuestion(const TVarTable &vars, std::int32_t count) const;

    // Why nothing can be changed now (the file gone, or incomplete, for a few seconds), UTF-8;
    // "" when it can.
    std::string WhyNoChange() const;

    // The project's presets and limits, kept in Kivo's data folder (never in the project file),
    // read when the project is opened; why they could not be read, then.
    TProjectPresets &Presets() { return FPresets; }
    const QString &PresetsError() const { return FPresetsError; }
    // Writes them. Throws Exception with the reason when they cannot be written.
    void SavePresets();
    // The values the project had at its first refresh in this session, as a preset.
    const TPreset &AtOpen() const { return FAtOpen; }
    // The limits the trader set that a change breaks, for its variable as it stands now.
    std::vector<TBrokenLimit> Broken(const TVarChange &change, const TVarEntry &now) const;

    // Another running copy of Kivo had the project open when it was opened, or has journalled a
    // save of it since; the user is told so once, with these words.
    bool OtherKivo() const { return FOtherKivo; }
    static constexpr const char *OtherKivoNotice = "Another copy of Kivo has this project open.";
    static constexpr const char *OtherKivoDetail =
        "Its changes go into the same file and the same history. Kivo tells them apart from the "
        "expert's, but each copy undoes only its own.";
    // The line under the grid, the other copy of Kivo mentioned where nothing more urgent is.
    TStatusLine Line(int ackWarnSeconds, int expertSilentSeconds) const;
    // A record could not be journalled; the first failure is told to the user once.
    bool JournalFailed() const { return FJournalFailed; }
    QString JournalError() const { return FJournal.Error(); }

signals:
    // The file was written and its writer is done.
    void FileChanged();

private:
    TJournalRecord Record(const TVarChange &change, const TVarEntry &before, const TVarEntry &after,
                          const QString &outcome) const;
    void Append(const TJournalRecord &record);
    void Journal(const std::vector<TExpertState::TEvent> &events);
    void ReadOtherKivos();
    void MarkOpen();

    std::string FProject;
    TProjectFile *FFile;
    TJournal FJournal;
    TExpertState FState;
    std::vector<TUndo> FUndo;
    QString FKivo;
    QString FJournalFile;
    qint64 FJournalRead = 0; // how far the journal was read for other copies' saves
    std::unique_ptr<TProcessMark> FOpenMark;
    TProjectPresets FPresets;
    QString FPresetsError;
    TPreset FAtOpen;
    bool FAtOpenTaken = false;
    bool FOtherKivo = false;
    bool FJournalFailed = false;
    std::int64_t FNextGroup = 0;
};
