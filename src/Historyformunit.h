#pragma once

#include "Journal.h"
#include "ui_Historyformunit.h"

#include <QDateTime>
#include <QDialog>
#include <QString>

#include <vector>

class QHideEvent;
class QShowEvent;
class QTimer;
class THistoryModel;

// The history window: one project's journal, newest first, with what became of each change
// (taken by the expert and how soon, still waiting, never answered, or not saved and why). It
// is not modal, so the grid stays usable beside it, and it follows the journal while open.
class THistoryForm : public QDialog, private Ui::THistoryForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(THistoryForm)

public:
    explicit THistoryForm(QWidget *Owner);
    ~THistoryForm() override;

    // The window, made when first asked for, owned by owner and following journal while open.
    static THistoryForm *Open(QWidget *owner, TJournal &journal);

    // Reads the project's journal and shows the window, or raises it when it is open. Changes
    // saved from sessionStart on, and not yet taken, count as waiting; older ones that were
    // never taken had no answer.
    void ShowProject(const QString &project, const QDateTime &sessionStart);
    QString Project() const { return FProject; }

public slots:
    // A record just journalled (TJournal::Appended): a change becomes a row, a "taken" record
    // completes the row of its change. Records of other projects are ignored.
    void Add(const TJournalRecord &record);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void Button1Click();
    void Timer1Timer();

private:
    void UpdateTimer();
    void FitVariableColumn(const std::vector<TJournalRecord> &records);

    THistoryModel *FModel;
    QTimer *FTimer;
    QString FProject;
    QString FJournal; // FProject's journal file, which identifies records of the project
    bool FPlaced = false;
};

extern THistoryForm *HistoryForm;
