#pragma once

#include "PendingSet.h"
#include "ui_Pendingformunit.h"

#include <QDialog>
#include <QString>

#include <vector>

// The changes gathered to be saved together (Edit > Gather changes, or a preset applied), and the
// window that lists them: per variable, old -> new (and the status, where it changes). Apply
// saves them in one save, Remove takes the selected one off the list, Discard empties it. Not
// modal: the grid stays usable beside it. Made by the main window, which it belongs to.
class TPendingForm : public QDialog, private Ui::TPendingForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TPendingForm)

public:
    explicit TPendingForm(QWidget *Owner);
    ~TPendingForm() override;

    const TPendingSet &Set() const { return FSet; }
    // Adds the changes, each with its variable as the main window's table shows it now, and
    // shows the list.
    void Gather(const std::vector<TVarChange> &changes);
    // Saves the set in one save, judged against the file as it is now: a variable the expert
    // changed since it was gathered, or a value outside a limit the trader set, is named first,
    // and the set applied only after Yes (No the default). True when it was saved.
    bool Apply();
    void Remove(std::size_t index);
    void Discard();
    // Shows the list (it stays up to date), and raises it.
    void ShowList();

    void Button1Click() { Apply(); }
    void Button2Click();
    void Button3Click() { Discard(); }

private:
    void Fill();

    TPendingSet FSet;
    bool FPlaced = false;
};

// What a gathered change does, as the list shows it: "0.10 -> 0.20, status idle -> changed by
// Kivo".
QString PendingText(const TPendingSet::TItem &item);

extern TPendingForm *PendingForm;
