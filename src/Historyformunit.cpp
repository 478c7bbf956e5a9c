#include "Historyformunit.h"

#include "Application.h"
#include "VarGrid.h"

#include <QAbstractTableModel>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QLocale>
#include <QOperatingSystemVersion>
#include <QProcess>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

THistoryForm *HistoryForm = nullptr;

namespace {

enum THistoryColumn : int { ColTime, ColVariable, ColChange, ColResult, ColCount };

// The words of the grid's Status column; a code it has no word for shows as its number.
QString StatusText(int status) {
    const char *word = StatusWord(status);
    return word ? QString::fromLatin1(word) : QString::number(status);
}

QString ShownValue(const QString &value) {
    return value.isEmpty() ? QStringLiteral("(empty)") : value;
}

// "0.8 s" (with tenths, below ten seconds), "12 s", "3 min 5 s", "2 h 10 min".
QString Duration(double seconds, bool tenths) {
    if (tenths && seconds < 9.95)
        return QString::number(std::max(seconds, 0.0), 'f', 1) + QStringLiteral(" s");
    const qint64 whole = qint64(std::clamp(seconds, 0.0, 1e12));
    if (whole < 60)
        return QStringLiteral("%1 s").arg(whole);
    if (whole < 3600)
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
    return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole / 60 % 60);
}

QString ChangeText(const TJournalRecord &r) {
    QStringList parts;
    const QString arrow = QStringLiteral(" \u2192 ");
    if (r.OldValue != r.NewValue || r.OldStatus == r.NewStatus)
        parts << ShownValue(r.OldValue) + arrow + ShownValue(r.NewValue);
    if (r.OldStatus != r.NewStatus) {
        // 0 and 2 read alike in the grid; between the two only the codes tell the change.
        QString from = StatusText(r.OldStatus);
        QString to = StatusText(r.NewStatus);
        if (from == to) {
            from = QString::number(r.OldStatus);
            to = QString::number(r.NewStatus);
        }
        parts << QStringLiteral("status ") + from + arrow + to;
    }
    const QString text = parts.join(QStringLiteral(", "));
    return r.Kind == QLatin1String("undo") ? QStringLiteral("Undo: ") + text : text;
}

// A cell shows one line; its tooltip shows the text whole.
QString OneLine(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    return text;
}

} // namespace

// The rows of the window over the journal's records, kept oldest first and shown newest first.
class THistoryModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void Reset(const std::vector<TJournalRecord> &records, const QDateTime &sessionStart) {
        beginResetModel();
        FRows.clear();
        FUnanswered.clear();
        FWaiting.clear();
        FSessionStart = sessionStart.isValid() ? sessionStart.toMSecsSinceEpoch() : 0;
        size_t completed = 0;
        for (const TJournalRecord &record : records) {
            if (!Complete(record, completed))
                Place(record);
        }
        endResetModel();
    }

    void Add(const TJournalRecord &record) {
        size_t completed = 0;
        if (Complete(record, completed)) {
            if (completed < FRows.size()) {
                const QModelIndex cell = index(ViewRow(completed), ColResult);
                emit dataChanged(cell, cell, {Qt::DisplayRole});
            }
            return;
        }
        beginInsertRows(QModelIndex(), 0, 0);
        Place(record);
        endInsertRows();
    }

    bool Waiting() const { return !FWaiting.empty(); }

    // The waiting counts have gone up by a second: repaint their cells, and only those.
    void RefreshWaiting() {
        if (!FWaiting.empty())
            emit dataChanged(index(ViewRow(FWaiting.back()), ColResult),
                             index(ViewRow(FWaiting.front()), ColResult), {Qt::DisplayRole});
    }

    int rowCount(const QModelIndex &parent) const override {
        return parent.isValid() ? 0 : int(FRows.size());
    }
    int columnCount(const QModelIndex &parent) const override {
        return parent.isValid() ? 0 : ColCount;
    }

    QVariant data(const QModelIndex &index, int role) const override {
        if (!index.isValid() || index.row() >= int(FRows.size()))
            return {};
        const TRow &row = FRows[FRows.size() - 1 - size_t(index.row())];
        if (role == Qt::DisplayRole)
            return OneLine(Text(row, index.column()));
        if (role == Qt::ToolTipRole) {
            // The time as the file holds it, for finding the record there.
            if (index.column() == ColTime)
                return row.Record.Time.toUTC().toString(Qt::ISODateWithMs);
            return Text(row, index.column());
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        static const char *const titles[ColCount] = {"Time", "Variable", "Change", "Result"};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < ColCount)
            return QString::fromLatin1(titles[section]);
        return {};
    }

    // The local time with seconds, the date in the system's short format.
    const QString TimeFormat =
        QLocale().dateFormat(QLocale::ShortFormat) + QStringLiteral(" HH:mm:ss");

private:
    struct TRow {
        TJournalRecord Record;
        std::optional<TJournalRecord> Answer; // the expert's, to a saved change
    };
    using TKey = std::pair<qint64, int>;

    int ViewRow(size_t at) const { return int(FRows.size() - 1 - at); }

    // An answer to a saved change ("taken", "overwritten", "superseded", "gone") completes its
    // change's row (stored at completed) and makes none of its own. True when the record was
    // one; one whose change is not listed (older than what was read) is dropped, and completed
    // is then past the rows.
    bool Complete(const TJournalRecord &record, size_t &completed) {
        if (!IsAnswer(record.Outcome))
            return false;
        completed = FRows.size();
        const auto found =
            FUnanswered.constFind({record.ChangeTime.toMSecsSinceEpoch(), record.Variable});
        if (!record.ChangeTime.isValid() || found == FUnanswered.cend())
            return true;
        completed = *found;
        FUnanswered.erase(found);
        FRows[completed].Answer = record;
        FWaiting.erase(std::remove(FWaiting.begin(), FWaiting.end(), completed), FWaiting.end());
        return true;
    }

    static bool IsAnswer(const QString &outcome) {
        for (const char *answer : {"taken", "overwritten", "superseded", "gone"})
            if (outcome == QLatin1String(answer))
                return true;
        return false;
    }

    void Place(const TJournalRecord &record) {
        FRows.push_back({record, std::nullopt});
        const size_t at = FRows.size() - 1;
        if (record.Outcome != QLatin1String("saved"))
            return;
        FUnanswered.insert({record.Time.toMSecsSinceEpoch(), record.Variable}, at);
        if (record.Time.toMSecsSinceEpoch() >= FSessionStart)
            FWaiting.push_back(at);
    }

    QString Text(const TRow &row, int column) const {
        const TJournalRecord &r = row.Record;
        switch (column) {
        case ColTime:
            return r.Time.toLocalTime().toString(TimeFormat);
        case ColVariable:
            return QStringLiteral("#%1 %2").arg(QString::number(r.Variable), r.Title);
        case ColChange:
            return ChangeText(r);
        case ColResult:
            return ResultText(row);
        default:
            return {};
        }
    }

    QString ResultText(const TRow &row) const {
        const TJournalRecord &r = row.Record;
        if (r.Outcome == QLatin1String("not saved"))
            return r.Reason.isEmpty() ? r.Outcome : QStringLiteral("not saved: ") + r.Reason;
        if (r.Outcome != QLatin1String("saved"))
            return r.Outcome;
        if (row.Answer) {
            const TJournalRecord &answer = *row.Answer;
            if (answer.Outcome == QLatin1String("taken"))
                return QStringLiteral("taken after ") + Duration(answer.TakenAfter, true);
            return answer.Reason.isEmpty() ? answer.Outcome : answer.Outcome + u' ' + answer.Reason;
        }
        const qint64 saved = r.Time.toMSecsSinceEpoch();
        if (saved < FSessionStart)
            return QStringLiteral("no answer seen");
        return QStringLiteral("waiting ") +
               Duration(double(QDateTime::currentMSecsSinceEpoch() - saved) / 1000, false);
    }

    std::vector<TRow> FRows;
    QHash<TKey, size_t> FUnanswered; // saved changes not yet taken: their row, by time and variable
    std::vector<size_t> FWaiting;    // the rows of this session's among them, oldest first
    qint64 FSessionStart = 0;
};

THistoryForm::THistoryForm(QWidget *Owner)
    : QDialog(Owner), FModel(new THistoryModel(this)), FTimer(new QTimer(this)) {
    setupUi(this);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    // An open history must not keep Kivo running once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    StringGrid1->setModel(FModel);
    // Fixed widths and row heights: measuring every row of a long journal would cost more than
    // showing it.
    const QFontMetrics metrics = StringGrid1->fontMetrics();
    const QString widestTime =
        QDateTime(QDate(2026, 12, 28), QTime(23, 58, 58)).toString(FModel->TimeFormat);
    QHeaderView *header = StringGrid1->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->resizeSection(ColTime, metrics.horizontalAdvance(widestTime) + 12);
    header->resizeSection(ColVariable, metrics.averageCharWidth() * 16);
    // Wide enough for the change Kivo makes most: a value, and the status it marks.
    const QString commonChange = QStringLiteral("0 \u2192 1, status idle \u2192 changed by Kivo");
    header->resizeSection(ColChange, metrics.horizontalAdvance(commonChange) + 12);
    QHeaderView *rows = StringGrid1->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(metrics.height() + 4);

    FTimer->setInterval(1000);
    connect(FTimer, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));
    connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, &QWidget::close);
    Button1->setEnabled(false);
}

THistoryForm::~THistoryForm() = default;

THistoryForm *THistoryForm::Open(QWidget *owner, TJournal &journal) {
    if (!HistoryForm) {
        HistoryForm = new THistoryForm(owner);
        connect(&journal, &TJournal::Appended, HistoryForm, &THistoryForm::Add);
        connect(HistoryForm, &QObject::destroyed, [] { HistoryForm = nullptr; });
    }
    return HistoryForm;
}

void THistoryForm::ShowProject(const QString &project, const QDateTime &sessionStart) {
    FProject = project;
    FJournal = TJournal::FileFor(project);
    const std::vector<TJournalRecord> records = TJournal::Load(project);
    FModel->Reset(records, sessionStart);
    FitVariableColumn(records);
    Button1->setEnabled(!FJournal.isEmpty());
    show();
    raise();
    activateWindow();
    StringGrid1->scrollToTop();
    UpdateTimer();
}

// Wide enough for most of the project's titles (all but the longest tenth), within reason; the
// rest can be read from the tooltip, or by widening the column.
void THistoryForm::FitVariableColumn(const std::vector<TJournalRecord> &records) {
    const QFontMetrics metrics = StringGrid1->fontMetrics();
    std::vector<int> widths;
    for (std::size_t i = records.size() > 400 ? records.size() - 400 : 0; i < records.size(); ++i)
        widths.push_back(metrics.horizontalAdvance(
            QStringLiteral("#%1 %2").arg(records[i].Variable).arg(records[i].Title)));
    int width = metrics.averageCharWidth() * 16;
    if (!widths.empty()) {
        std::nth_element(widths.begin(), widths.begin() + std::ptrdiff_t(widths.size() * 9 / 10),
                         widths.end());
        width = std::max(width, widths[widths.size() * 9 / 10] + 12);
    }
    StringGrid1->horizontalHeader()->resizeSection(
        ColVariable, std::min(width, metrics.averageCharWidth() * 48));
}

void THistoryForm::Add(const TJournalRecord &record) {
    if (FJournal.isEmpty() || TJournal::FileFor(record.Project) != FJournal)
        return;
    FModel->Add(record);
    UpdateTimer();
}

void THistoryForm::showEvent(QShowEvent *event) {
    if (!FPlaced && !event->spontaneous()) {
        FPlaced = true;
        PlaceBesideMainForm(this);
    }
    QDialog::showEvent(event);
    UpdateTimer();
}

void THistoryForm::hideEvent(QHideEvent *event) {
    QDialog::hideEvent(event);
    UpdateTimer();
}

void THistoryForm::Button1Click() {
    const QFileInfo journal(FJournal);
    QDir().mkpath(journal.absolutePath());
    // Explorer can open the folder with the file selected; elsewhere the folder is opened.
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows &&
        journal.isFile() &&
        QProcess::startDetached(QStringLiteral("explorer.exe"),
                                {QStringLiteral("/select,"), QDir::toNativeSeparators(FJournal)}))
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(journal.absolutePath()));
}

void THistoryForm::Timer1Timer() {
    FModel->RefreshWaiting();
    UpdateTimer();
}

// The clock runs only while waiting counts are in sight.
void THistoryForm::UpdateTimer() {
    if (isVisible() && FModel->Waiting()) {
        if (!FTimer->isActive())
            FTimer->start();
    } else {
        FTimer->stop();
    }
}
