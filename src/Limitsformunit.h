#pragma once

#include "Limits.h"
#include "Vars.h"
#include "ui_Limitsformunit.h"

#include <QDialog>

#include <cstdint>
#include <string>

// The limits editor: the limit of one integer or double variable of the open project (its
// lowest and highest value, and the largest step a change may take, as a factor or a
// difference). OK keeps it, Remove takes it away, Cancel changes nothing; a kept limit is
// saved at once with the project's presets.
class TLimitsForm : public QDialog, private Ui::TLimitsForm {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TLimitsForm)

public:
    explicit TLimitsForm(QWidget *Owner);
    ~TLimitsForm() override;

    // Shows the variable of this title (bytes in the expert's code page) and type, with its limit
    // or none.
    void ShowVariable(const std::string &title, std::int32_t type);
    // The editor for the variable, modal; nothing for a variable that is no number.
    static void Edit(QWidget *owner, const std::string &title, std::int32_t type);

    void Button1Click();
    void Button2Click();

private:
    // The limit the fields describe; false with why (a clause) when an entry is refused.
    bool ReadFields(TLimit &limit, std::string &why) const;
    void StepChosen();

    std::string FTitle;
    std::int32_t FType = vtDouble;
};
