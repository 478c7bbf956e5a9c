#include "FindText.h"

QString FoldForFind(const QString &text) {
    QString folded = text.normalized(QString::NormalizationForm_KD);
    folded.removeIf([](QChar c) { return c.category() == QChar::Mark_NonSpacing; });
    return folded.toCaseFolded();
}

bool TitleMatches(const QString &title, const QString &typed) {
    return typed.isEmpty() || FoldForFind(title).contains(FoldForFind(typed));
}
