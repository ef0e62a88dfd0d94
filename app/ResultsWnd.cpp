#include "app/ResultsWnd.h"

#include "app/PacketsWnd.h"
#include "app/QtPlatform.h"
#include "app/RoundTripPlot.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "judge/Judge.h"
#include "session/ReplayWords.h"

#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace velmora {

namespace {

    constexpr int kLineRole = Qt::UserRole; // index into m_lines

    QString FromBytes(const std::string& cs)
    {
        return QFile::decodeName(QByteArray::fromStdString(cs));
    }

    // The capture's name with "-answers.pcap" for its stem.
    std::string SuggestedAnswersPath(const std::string& csCapture)
    {
        std::string cs = csCapture.empty() ? std::string("answers") : csCapture;
        const size_t nSlash = cs.rfind('/');
        const size_t nDot = cs.rfind('.');
        if (nDot != std::string::npos && (nSlash == std::string::npos || nDot > nSlash))
            cs.erase(nDot);
        return cs + "-answers.pcap";
    }

    // The capture's name with "-report.html" for its stem.
    std::string SuggestedReportPath(const std::string& csCapture)
    {
        std::string cs = SuggestedAnswersPath(csCapture);
        return cs.substr(0, cs.size() - std::string("-answers.pcap").size()) + "-report.html";
    }

} // namespace

CResultsWnd::CResultsWnd(QWidget* pParent)
    : QWidget(pParent, Qt::Window)
{
    setObjectName(QStringLiteral("results"));
    setWindowTitle(tr("Results - Velmora"));

    m_pHeadline = new QLabel(this);
    m_pHeadline->setObjectName(QStringLiteral("headline"));
    m_pHeadline->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont headlineFont = m_pHeadline->font();
    headlineFont.setBold(true);
    headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.2);
    m_pHeadline->setFont(headlineFont);
    m_pHeadline->hide();

    m_pSummary = new QLabel(tr("No listening Send yet: tick \"Listen for answers\" in Capture > "
                               "Send options, then Send."),
        this);
    m_pSummary->setObjectName(QStringLiteral("summary"));
    m_pSummary->setWordWrap(true);
    m_pSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_pFilter = new QLineEdit(this);
    m_pFilter->setObjectName(QStringLiteral("filter"));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->setPlaceholderText(
        tr("Filter: text in any column, e.g. unanswered, differs, readProperty, Error"));
    auto* pFilterLabel = new QLabel(tr("&Filter:"), this);
    pFilterLabel->setBuddy(m_pFilter);

    m_pTable = new QTableWidget(0, kColumns, this);
    m_pTable->setObjectName(QStringLiteral("resultsTable"));
    m_pTable->setHorizontalHeaderLabels({ tr("Record"), tr("Round"), tr("Request"), tr("Answer"),
        tr("Verdict"), tr("Round trip"), tr("Recorded answer") });
    m_pTable->setColumnHidden(Round, true);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->verticalHeader()->hide();
    m_pTable->setWordWrap(false);
    m_pTable->horizontalHeader()->setStretchLastSection(true);

    m_pTree = new QTreeWidget(this);
    m_pTree->setObjectName(QStringLiteral("fields"));
    m_pTree->setHeaderHidden(true);
    m_pHex = new QPlainTextEdit(this);
    m_pHex->setObjectName(QStringLiteral("hex"));
    m_pHex->setReadOnly(true);
    m_pHex->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pHex->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* pDetails = new QSplitter(Qt::Horizontal, this);
    pDetails->addWidget(m_pTree);
    pDetails->addWidget(m_pHex);
    // The comparison takes the whole width: two texts side by side need it.
    m_pCompare = new QTableWidget(0, 3, this);
    m_pCompare->setObjectName(QStringLiteral("comparison"));
    m_pCompare->setHorizontalHeaderLabels({ tr("Field"), tr("Recorded"), tr("Heard") });
    m_pCompare->verticalHeader()->hide();
    m_pCompare->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pCompare->setWordWrap(true);
    m_pCompare->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_pCompare->hide();
    auto* pBelow = new QSplitter(Qt::Vertical, this);
    m_pBelow = pBelow;
    pBelow->addWidget(m_pCompare);
    pBelow->addWidget(pDetails);
    m_pGroups = new QTreeWidget(this);
    m_pGroups->setObjectName(QStringLiteral("groups"));
    m_pGroups->setHeaderLabels({ tr("Differences by kind"), tr("Request"), tr("Verdict") });
    m_pGroups->hide();
    m_pPlot = new CRoundTripPlot(this);
    auto* pSplit = new QSplitter(Qt::Vertical, this);
    m_pSplit = pSplit;
    pSplit->addWidget(m_pPlot);
    pSplit->addWidget(m_pGroups);
    pSplit->addWidget(m_pTable);
    pSplit->addWidget(pBelow);
    pSplit->setStretchFactor(0, 2);
    pSplit->setStretchFactor(1, 2);
    pSplit->setStretchFactor(2, 5);
    pSplit->setStretchFactor(3, 3);

    m_pNote = new QLabel(this);
    m_pNote->setObjectName(QStringLiteral("note"));
    m_pNote->setWordWrap(true);
    m_pSave = new QPushButton(tr("&Save answers\u2026"), this);
    m_pSave->setObjectName(QStringLiteral("saveAnswers"));
    m_pSave->setEnabled(false);
    m_pSaveReport = new QPushButton(tr("Save &report\u2026"), this);
    m_pSaveReport->setObjectName(QStringLiteral("saveReport"));
    m_pSaveReport->setEnabled(false);
    m_pClose = new QPushButton(tr("Close"), this);
    m_pClose->setObjectName(QStringLiteral("close"));

    auto* pTop = new QHBoxLayout();
    pTop->addWidget(pFilterLabel);
    pTop->addWidget(m_pFilter, 1);
    auto* pBottom = new QHBoxLayout();
    pBottom->addWidget(m_pNote, 1);
    pBottom->addWidget(m_pSaveReport);
    pBottom->addWidget(m_pSave);
    pBottom->addWidget(m_pClose);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pHeadline);
    pLayout->addWidget(m_pSummary);
    pLayout->addLayout(pTop);
    pLayout->addWidget(pSplit, 1);
    pLayout->addLayout(pBottom);

    // The list is short (one row per request): filter as the user types.
    connect(m_pFilter, &QLineEdit::textChanged, this, &CResultsWnd::OnApplyFilter);
    connect(m_pTable, &QTableWidget::itemSelectionChanged, this, &CResultsWnd::ShowAnswer);
    connect(m_pTree, &QTreeWidget::currentItemChanged, this, &CResultsWnd::HighlightField);
    connect(m_pSave, &QPushButton::clicked, this, &CResultsWnd::OnSaveAnswers);
    connect(m_pSaveReport, &QPushButton::clicked, this, &CResultsWnd::OnSaveReport);
    connect(m_pPlot, &CRoundTripPlot::LineClicked, this, [this](size_t nLine) {
        if (nLine < static_cast<size_t>(m_pTable->rowCount()))
            m_pTable->selectRow(static_cast<int>(nLine));
    });
    connect(m_pClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_pGroups, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* pItem) {
        if (!pItem || !pItem->parent())
            return;
        const int iRow = pItem->data(0, kLineRole).toInt();
        if (iRow < m_pTable->rowCount() && !m_pTable->isRowHidden(iRow))
            m_pTable->selectRow(iRow);
    });
    // Large enough to read: most of the screen, and at least a table of some
    // twenty rows with the plot and the details.
    int iWidth = fontMetrics().averageCharWidth() * 190;
    int iHeight = fontMetrics().height() * 60;
    if (const QScreen* pScreen = screen()) {
        const QRect available = pScreen->availableGeometry();
        iWidth = std::min(std::max(iWidth, available.width() * 9 / 10), available.width());
        iHeight = std::min(std::max(iHeight, available.height() * 9 / 10), available.height());
    }
    resize(iWidth, iHeight);
}

void CResultsWnd::ShowResults(const std::string& csCapture, const SListenResult& listen,
    const judge::SJudgement& judgement, const std::string& csSummary, const SReportFacts* pFacts)
{
    m_bHasResults = true;
    m_judgement = judgement;
    m_bFacts = pFacts != nullptr;
    m_readRecorded = nullptr;
    if (pFacts)
        m_facts = *pFacts;
    m_pSaveReport->setEnabled(m_bFacts);
    m_pPlot->SetData(judgement);
    m_csCapture = csCapture;
    m_lines = judgement.lines;
    m_heard = listen.heard;
    m_pSummary->setText(
        FromBytes(FileName(csCapture)) + QStringLiteral(": ") + QString::fromStdString(csSummary));
    m_pNote->clear();
    m_pSave->setEnabled(true);
    m_bRounds = judgement.RoundsRepeat();
    const bool bFailed = std::any_of(
        m_lines.begin(), m_lines.end(), [](const judge::SJudgeLine& l) { return l.Failed(); });
    m_pHeadline->setText(QString::fromStdString(judge::Headline(judgement)));
    m_pHeadline->setStyleSheet(
        bFailed ? QStringLiteral("color: #a01010") : QStringLiteral("color: #106010"));
    m_pHeadline->show();
    m_pTable->clearContents();
    m_pTable->setRowCount(static_cast<int>(m_lines.size()));
    m_pTable->setColumnHidden(Round, !m_bRounds);
    // Failures stand out by colour as well as by their word.
    const QColor failed(255, 214, 204);
    const QColor failedText(96, 0, 0);
    // A value that changed by itself is no failure, and never silent.
    const QColor changed(255, 244, 196);
    const QColor changedText(90, 66, 0);
    for (size_t n = 0; n < m_lines.size(); ++n) {
        const judge::SJudgeLine& line = m_lines[n];
        const std::string csMs = judge::RoundTripColumn(line);
        const std::string texts[kColumns] = { std::to_string(line.uRecord),
            std::to_string(line.uRound), line.csRequest, judge::AnswerColumn(line),
            judge::VerdictColumn(line), csMs == "-" ? csMs : csMs + " ms",
            line.bHasRecorded ? line.csRecorded : std::string() };
        for (int iColumn = 0; iColumn < kColumns; ++iColumn) {
            auto* pItem = new QTableWidgetItem(QString::fromStdString(texts[iColumn]));
            pItem->setData(kLineRole, static_cast<qulonglong>(n));
            pItem->setToolTip(pItem->text());
            if (Marked(line)) {
                pItem->setBackground(failed);
                pItem->setForeground(failedText);
            } else if (line.eVerdict == judge::EVerdict::ValueChanged) {
                pItem->setBackground(changed);
                pItem->setForeground(changedText);
            }
            if (iColumn == Record || iColumn == Round || iColumn == RoundTrip)
                pItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_pTable->setItem(static_cast<int>(n), iColumn, pItem);
        }
        if (Marked(line))
            m_pTable->item(static_cast<int>(n), Verdict)
                ->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
    }
    const int iChar = fontMetrics().averageCharWidth();
    const int widths[kColumns] = { 8, 7, 46, 50, 14, 12, 50 };
    for (int i = 0; i < kColumns; ++i)
        m_pTable->setColumnWidth(i, widths[i] * iChar);
    // The verdict is read first: never cut to "unans...", whatever its length.
    // A long "differs (...)" stops at 40 characters; the tooltip has the rest.
    m_pTable->resizeColumnToContents(Verdict);
    m_pTable->setColumnWidth(Verdict, std::min(m_pTable->columnWidth(Verdict), 40 * iChar));
    m_pTree->clear();
    m_pHex->clear();
    m_detailBytes.clear();
    // The first failure is what the user came for.
    int iFirst = m_pTable->rowCount() > 0 ? 0 : -1;
    for (size_t n = 0; n < m_lines.size(); ++n) {
        if (m_lines[n].Failed()) {
            iFirst = static_cast<int>(n);
            break;
        }
    }
    if (iFirst >= 0)
        m_pTable->setCurrentCell(iFirst, 0);
    ShowGroups();
    OnApplyFilter(); // a filter typed before stays, and picks the first row it shows
}

void CResultsWnd::LayOutSplit()
{
    // The table keeps the most room: the plot and the details a share each,
    // the groups their headings, up to a handful.
    const int iTotal = m_pSplit->height();
    if (iTotal < 100)
        return; // laid out when shown
    const int iGroupCount = m_pGroups->isHidden() ? 0 : m_pGroups->topLevelItemCount();
    const int iGroups = iGroupCount == 0
        ? 0
        : std::min(iTotal * 15 / 100, fontMetrics().height() * (std::min(iGroupCount, 5) + 3));
    QList<int> sizes = { iTotal * 16 / 100, iGroups, 0, iTotal * 34 / 100 };
    sizes[2] = iTotal - sizes[0] - sizes[1] - sizes[3];
    m_pSplit->setSizes(sizes);
    m_pBelow->setSizes({ sizes[3] * 6 / 10, sizes[3] - sizes[3] * 6 / 10 });
}

void CResultsWnd::showEvent(QShowEvent* pEvent)
{
    QWidget::showEvent(pEvent);
    if (!m_bLaidOut) {
        m_bLaidOut = true;
        LayOutSplit();
    }
}

void CResultsWnd::ShowGroups()
{
    m_pGroups->clear();
    const std::vector<judge::SLineGroup> groups = judge::GroupLines(m_lines);
    // A group's rows listed at most; the filter finds the rest.
    constexpr size_t kListed = 500;
    for (const judge::SLineGroup& g : groups) {
        auto* pGroup = new QTreeWidgetItem(m_pGroups);
        pGroup->setText(0,
            QLocale(QLocale::English).toString(static_cast<qulonglong>(g.lines.size()))
                + QStringLiteral(" \u00d7 ") + QString::fromStdString(g.csKey));
        pGroup->setFirstColumnSpanned(true);
        for (size_t i = 0; i < g.lines.size() && i < kListed; ++i) {
            const judge::SJudgeLine& line = m_lines[g.lines[i]];
            auto* pRow = new QTreeWidgetItem(pGroup);
            pRow->setText(0, tr("record %1").arg(line.uRecord));
            pRow->setText(1, QString::fromStdString(line.csRequest));
            pRow->setText(2, QString::fromStdString(judge::VerdictColumn(line)));
            pRow->setData(0, kLineRole, static_cast<int>(g.lines[i]));
        }
        if (g.lines.size() > kListed) {
            auto* pMore = new QTreeWidgetItem(pGroup);
            pMore->setText(0, tr("and %1 more: filter the table").arg(g.lines.size() - kListed));
        }
    }
    m_pGroups->setVisible(!groups.empty());
    LayOutSplit();
    if (!groups.empty()) {
        m_pGroups->resizeColumnToContents(0);
        m_pGroups->setColumnWidth(
            0, std::max(m_pGroups->columnWidth(0), 30 * fontMetrics().averageCharWidth()));
    }
}

void CResultsWnd::OnApplyFilter()
{
    const std::string csFilter = m_pFilter->text().toStdString();
    const dissect::CRowFilter filter(csFilter);
    for (int i = 0; i < m_pTable->rowCount(); ++i) {
        bool bMatch = filter.Empty();
        for (int iColumn = 0; !bMatch && iColumn < kColumns; ++iColumn)
            bMatch = !m_pTable->isColumnHidden(iColumn)
                && filter.MatchesText(m_pTable->item(i, iColumn)->text().toStdString());
        m_pTable->setRowHidden(i, !bMatch);
    }
    // The details follow the rows shown: a hidden selection gives way to the
    // first row left, or to nothing.
    // (The view's own list of selected items leaves hidden rows out.)
    const QModelIndexList selected = m_pTable->selectionModel()->selectedRows();
    if (!selected.isEmpty() && m_pTable->isRowHidden(selected.front().row())) {
        m_pTable->clearSelection();
        for (int i = 0; i < m_pTable->rowCount(); ++i)
            if (!m_pTable->isRowHidden(i)) {
                m_pTable->setCurrentCell(i, 0);
                break;
            }
    }
    std::vector<bool> keep(static_cast<size_t>(m_pTable->rowCount()));
    for (int i = 0; i < m_pTable->rowCount(); ++i)
        keep[static_cast<size_t>(i)] = !m_pTable->isRowHidden(i);
    m_pPlot->SetKeep(keep);
    if (m_bHasResults && !filter.Empty())
        m_pNote->setText(
            tr("The filter shows %1 of %2 rows.").arg(VisibleRows()).arg(m_pTable->rowCount()));
    else if (m_bHasResults)
        m_pNote->setText(QString::fromStdString(CountWords(m_pTable->rowCount(), "row", "rows")
            + "; " + CountWords(m_heard.size(), "frame", "frames") + " heard."));
}

int CResultsWnd::VisibleRows() const
{
    int iRows = 0;
    for (int i = 0; i < m_pTable->rowCount(); ++i)
        iRows += m_pTable->isRowHidden(i) ? 0 : 1;
    return iRows;
}

QString CResultsWnd::SummaryLine() const
{
    return m_pSummary->text();
}

QString CResultsWnd::HeadlineText() const
{
    return m_pHeadline->text();
}

QString CResultsWnd::NoteLine() const
{
    return m_pNote->text();
}

void CResultsWnd::ShowComparison(const judge::SJudgeLine& line)
{
    m_pCompare->setRowCount(0);
    const bool bCompare = line.bAnswered && line.nAnswer < m_heard.size() && line.bHasRecorded
        && line.eVerdict != judge::EVerdict::Ok;
    m_pCompare->setVisible(bCompare);
    if (!bCompare)
        return;
    // A splitter gives a widget hidden when it shared out nothing: most of it now.
    const QList<int> below = m_pBelow->sizes();
    if (below.size() == 2 && below[0] < fontMetrics().height() * 6) {
        const int iBoth = below[0] + below[1];
        m_pBelow->setSizes({ iBoth * 6 / 10, iBoth - iBoth * 6 / 10 });
    }
    // The recorded answer from its file, read once for the window.
    if (!m_readRecorded && m_bFacts)
        m_readRecorded = CaptureRecordReader(
            m_facts.csRecordedPath.empty() ? m_facts.csCapturePath : m_facts.csRecordedPath);
    std::vector<uint8_t> recorded;
    const bool bRecorded = m_readRecorded && m_readRecorded(line.uRecordedRecord, recorded);
    const std::vector<SCompareRow> rows
        = CompareAnswers(bRecorded ? &recorded : nullptr, m_heard[line.nAnswer].bytes);
    m_pCompare->setRowCount(static_cast<int>(rows.size()));
    const QColor differs(255, 227, 179);
    const QString qsNone = QStringLiteral("\u2014");
    for (size_t i = 0; i < rows.size(); ++i) {
        const SCompareRow& r = rows[i];
        const QString texts[3]
            = { QString(r.iDepth * 2, QLatin1Char(' ')) + QString::fromStdString(r.csName),
                  r.bRecorded ? QString::fromStdString(r.csRecorded) : qsNone,
                  r.bHeard ? QString::fromStdString(r.csHeard) : qsNone };
        for (int iColumn = 0; iColumn < 3; ++iColumn) {
            auto* pItem = new QTableWidgetItem(texts[iColumn]);
            pItem->setToolTip(texts[iColumn]);
            if (r.bDiffers)
                pItem->setBackground(differs);
            m_pCompare->setItem(static_cast<int>(i), iColumn, pItem);
        }
    }
    m_pCompare->resizeRowsToContents();
}

void CResultsWnd::ShowAnswer()
{
    m_pTree->clear();
    m_detailBytes.clear();
    m_pCompare->hide();
    const QList<QTableWidgetItem*> items = m_pTable->selectedItems();
    if (items.isEmpty()) {
        m_pHex->clear();
        return;
    }
    const size_t nLine = items.front()->data(kLineRole).toULongLong();
    const judge::SJudgeLine& line = m_lines.at(nLine);
    if (!line.bAnswered || line.nAnswer >= m_heard.size()) {
        m_pHex->setPlainText(tr("No answer was heard to record %1.").arg(line.uRecord));
        return;
    }
    const SHeardFrame& heard = m_heard[line.nAnswer];
    ShowComparison(line);
    m_detailBytes = heard.bytes;
    dissect::SFrame frame;
    frame.pData = m_detailBytes.data();
    frame.header.llTimeNs = heard.llNs;
    frame.header.uCapLen = static_cast<uint32_t>(m_detailBytes.size());
    frame.header.uWireLen = std::max<uint32_t>(heard.uWireLength, frame.header.uCapLen);
    // Numbered and timed as in the saved answers: record 0 is the first frame heard.
    frame.uNumber = line.nAnswer;
    frame.llFirstTimeNs = m_heard.front().llNs;
    frame.bChecksums = false; // heard before any NIC filled a checksum in
    std::vector<dissect::SField> tree;
    dissect::DecodeTree(frame, &tree);
    AddFieldItems(nullptr, m_pTree, tree);
    m_pTree->expandAll();
    m_pHex->setPlainText(HexDump(m_detailBytes));
}

void CResultsWnd::HighlightField()
{
    HighlightFieldBytes(m_pHex, m_pTree->currentItem(), m_detailBytes.size());
}

void CResultsWnd::OnSaveAnswers()
{
    if (!m_bHasResults)
        return;
    const std::string csPath
        = GetFileDialog().GetSaveFileName(this, SuggestedAnswersPath(m_csCapture));
    if (csPath.empty())
        return;
    std::string csError;
    if (SaveHeardFrames(csPath, m_heard, csError))
        m_pNote->setText(QString::fromStdString(CountWords(m_heard.size(), "frame", "frames"))
            + tr(" heard saved in %1").arg(FromBytes(csPath)));
    else
        m_pNote->setText(tr("Not saved: %1").arg(FromBytes(csError)));
}

void CResultsWnd::OnSaveReport()
{
    if (!m_bHasResults || !m_bFacts)
        return;
    const std::string csPath
        = GetFileDialog().GetSaveFileName(this, SuggestedReportPath(m_csCapture));
    if (csPath.empty())
        return;
    std::string csError;
    if (WriteReport(csPath, m_facts, m_judgement, m_heard, csError))
        m_pNote->setText(tr("Report saved in %1").arg(FromBytes(csPath)));
    else
        m_pNote->setText(tr("Not saved: %1").arg(FromBytes(csError)));
}

void CResultsWnd::keyPressEvent(QKeyEvent* pEvent)
{
    if (pEvent->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

} // namespace velmora
