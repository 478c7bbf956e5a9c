#include "RecentMenu.h"

#include "Application.h"
#include "Conversions.h"

#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

void FillRecentMenu(QMenu *menu, const std::vector<std::string> &recent,
                    const std::function<void(const std::string &)> &open,
                    const std::function<void()> &clear) {
    menu->clear();
    int shown = 0;
    for (const std::string &path : recent) {
        if (!QFileInfo(ToQString(path)).isFile())
            continue;
        ++shown;
        QAction *entry = menu->addAction(
            QStringLiteral("&%1 %2   %3")
                .arg(shown)
                .arg(ToQString(ExtractFileName(path)).replace('&', QStringLiteral("&&")),
                     menu->fontMetrics()
                         .elidedText(ToQString(ExtractFilePath(path)), Qt::ElideMiddle, 360)
                         .replace('&', QStringLiteral("&&"))));
        QObject::connect(entry, &QAction::triggered, menu, Guarded([open, path] { open(path); }));
    }
    if (shown == 0)
        menu->addAction(QStringLiteral("No recent projects"))->setEnabled(false);
    menu->addSeparator();
    QAction *clearing = menu->addAction(QStringLiteral("&Clear"));
    clearing->setEnabled(!recent.empty());
    QObject::connect(clearing, &QAction::triggered, menu, Guarded([clear] { clear(); }));
}

std::string DroppedFile(const QMimeData *data) {
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return {};
    return FromQString(QDir::toNativeSeparators(urls.front().toLocalFile()));
}
