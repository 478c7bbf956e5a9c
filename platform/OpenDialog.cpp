#include "OpenDialog.h"

#include "Conversions.h"

#include <QDir>
#include <QFileDialog>

namespace {
TOpenDialog::ExecuteHook &Hook() {
    static TOpenDialog::ExecuteHook hook;
    return hook;
}
} // namespace

void TOpenDialog::SetExecuteHook(ExecuteHook hook) {
    Hook() = std::move(hook);
}

bool TOpenDialog::Execute() {
    if (Hook()) {
        const auto chosen = Hook()(*this);
        if (!chosen)
            return false;
        FileName = *chosen;
        return true;
    }

    // "Description (*.ext)|*.ext|..." pairs: Qt shows the descriptions, which carry the patterns.
    QStringList filters;
    const QStringList parts = ToQString(Filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i];

    QFileDialog dialog(FOwner);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (SelectFolder) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setDirectory(ToQString(InitialDir));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return false;
        FileName = FromQString(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
        return true;
    }
    // A typed name need not exist: the caller tests the file itself.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDirectory(ToQString(InitialDir));
    if (SaveFile) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        if (!FileName.empty())
            dialog.selectFile(ToQString(FileName));
    }
    if (!filters.isEmpty())
        dialog.setNameFilters(filters);
    QString suffix = ToQString(DefaultExt);
    while (suffix.startsWith(QLatin1Char('*')) || suffix.startsWith(QLatin1Char('.')))
        suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = FromQString(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
    return true;
}
