#pragma once

#include "Presets.h"
#include "ui_Presetsformunit.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QEvent;

// The open project's presets and limits. A preset applied becomes a pending set, reviewed in the
// pending changes before anything is written; values whose variable cannot be found by title and
// type are named and skipped, never guessed. Not modal: the grid stays usable beside it. Made by
// the main window when first asked for, which it belongs to.
class TPresetsForm : public QDialog, private Ui::TPresetsForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TPresetsForm)

public:
    explicit TPresetsForm(QWidget *Owner);
    ~TPresetsForm() override;

    // The window, made when first asked for and owned by owner, shown and raised with the open
    // project's presets; nullptr while no project is open.
    static TPresetsForm *Open(QWidget *owner);

    // Shows the open project's presets and limits as they are now, the selection kept by name.
    void Fill();
    // Gathers the values of the preset that differ from the variables' into the pending changes,
    // and names those it skips: the variable missing, retyped or ambiguous, or the value not one
    // of its type.
    void ApplyPreset(const TPreset &preset);

    void Button1Click(); // Save values...
    void Button2Click(); // Apply
    void Button3Click(); // Reset to values at open
    void Button4Click(); // Delete
    void Button5Click(); // Export...
    void Button6Click(); // Import...
    void Button7Click(); // Edit... (limit)
    void Button8Click(); // Remove (limit)
    void SelectPreset(const QString &name);

protected:
    bool event(QEvent *event) override;

private:
    // The project shown is still the open one; otherwise the window is filled afresh and false.
    bool Current();
    const TPreset *SelectedPreset() const;
    const TLimit *SelectedLimit() const;
    void UpdateButtons();

    std::string FProject;
};

// Changes the open project's presets and limits and saves them at once. When change refuses (it
// returns the sentence saying why) or the file cannot be written, the user is told why and the
// presets stay as they were. The presets window, when there, shows the outcome. True when saved.
bool ChangePresets(const std::function<QString(TProjectPresets &)> &change);

extern TPresetsForm *PresetsForm;
