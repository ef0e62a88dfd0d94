#include "app/ResultsWnd.h"

#include "app/PacketsWnd.h"
#include "app/QtPlatform.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "session/ReplayWords.h"

#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

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

} // namespace

std::vector<std::string> ResultColumns(const judge::SJudgeLine& line)
{
    std::string cs = judge::TsvLine(line);
    if (!cs.empty() && cs.back() == '\n')
        cs.pop_back();
    std::vector<std::string> columns;
    size_t nFrom = 0;
    for (;;) {
        const size_t nTab = cs.find('\t', nFrom);
        columns.push_back(cs.substr(nFrom, nTab - nFrom));
        if (nTab == std::string::npos)
            break;
        nFrom = nTab + 1;
    }
    columns.resize(5);
    return columns;
}

CResultsWnd::CResultsWnd(QWidget* pParent)
    : QWidget(pParent, Qt::Window)
{
    setObjectName(QStringLiteral("results"));
    setWindowTitle(tr("Results - Velmora"));

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
    m_pTable->setHorizontalHeaderLabels({ tr("Record"), tr("Request"), tr("Answer"), tr("Verdict"),
        tr("Round trip"), tr("Recorded answer") });
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
    auto* pSplit = new QSplitter(Qt::Vertical, this);
    pSplit->addWidget(m_pTable);
    pSplit->addWidget(pDetails);
    pSplit->setStretchFactor(0, 3);
    pSplit->setStretchFactor(1, 2);

    m_pNote = new QLabel(this);
    m_pNote->setObjectName(QStringLiteral("note"));
    m_pNote->setWordWrap(true);
    m_pSave = new QPushButton(tr("&Save answers\u2026"), this);
    m_pSave->setObjectName(QStringLiteral("saveAnswers"));
    m_pSave->setEnabled(false);
    m_pClose = new QPushButton(tr("Close"), this);
    m_pClose->setObjectName(QStringLiteral("close"));

    auto* pTop = new QHBoxLayout();
    pTop->addWidget(pFilterLabel);
    pTop->addWidget(m_pFilter, 1);
    auto* pBottom = new QHBoxLayout();
    pBottom->addWidget(m_pNote, 1);
    pBottom->addWidget(m_pSave);
    pBottom->addWidget(m_pClose);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pSummary);
    pLayout->addLayout(pTop);
    pLayout->addWidget(pSplit, 1);
    pLayout->addLayout(pBottom);

    // The list is short (one row per request): filter as the user types.
    connect(m_pFilter, &QLineEdit::textChanged, this, &CResultsWnd::OnApplyFilter);
    connect(m_pTable, &QTableWidget::itemSelectionChanged, this, &CResultsWnd::ShowAnswer);
    connect(m_pTree, &QTreeWidget::currentItemChanged, this, &CResultsWnd::HighlightField);
    connect(m_pSave, &QPushButton::clicked, this, &CResultsWnd::OnSaveAnswers);
    connect(m_pClose, &QPushButton::clicked, this, &QWidget::close);
    resize(fontMetrics().averageCharWidth() * 150, fontMetrics().height() * 36);
}

void CResultsWnd::ShowResults(const std::string& csCapture, const SListenResult& listen,
    const judge::SJudgement& judgement, const std::string& csSummary)
{
    m_bHasResults = true;
    m_csCapture = csCapture;
    m_lines = judgement.lines;
    m_heard = listen.heard;
    m_pSummary->setText(
        FromBytes(FileName(csCapture)) + QStringLiteral(": ") + QString::fromStdString(csSummary));
    m_pNote->clear();
    m_pSave->setEnabled(true);
    m_pTable->clearContents();
    m_pTable->setRowCount(static_cast<int>(m_lines.size()));
    // Failures stand out by colour as well as by their word.
    const QColor failed(255, 214, 204);
    const QColor failedText(96, 0, 0);
    for (size_t n = 0; n < m_lines.size(); ++n) {
        const judge::SJudgeLine& line = m_lines[n];
        const std::vector<std::string> columns = ResultColumns(line);
        const std::string csMs = columns[4] == "-" ? columns[4] : columns[4] + " ms";
        const std::string texts[kColumns] = { columns[0], columns[1], columns[2], columns[3], csMs,
            line.bHasRecorded ? line.csRecorded : std::string() };
        for (int iColumn = 0; iColumn < kColumns; ++iColumn) {
            auto* pItem = new QTableWidgetItem(QString::fromStdString(texts[iColumn]));
            pItem->setData(kLineRole, static_cast<qulonglong>(n));
            pItem->setToolTip(pItem->text());
            if (Marked(line)) {
                pItem->setBackground(failed);
                pItem->setForeground(failedText);
            }
            if (iColumn == Record || iColumn == RoundTrip)
                pItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_pTable->setItem(static_cast<int>(n), iColumn, pItem);
        }
        if (Marked(line))
            m_pTable->item(static_cast<int>(n), Verdict)
                ->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
    }
    const int iChar = fontMetrics().averageCharWidth();
    const int widths[kColumns] = { 8, 46, 50, 14, 12, 50 };
    for (int i = 0; i < kColumns; ++i)
        m_pTable->setColumnWidth(i, widths[i] * iChar);
    m_pTree->clear();
    m_pHex->clear();
    m_detailBytes.clear();
    if (m_pTable->rowCount() > 0)
        m_pTable->setCurrentCell(0, 0);
    OnApplyFilter(); // a filter typed before stays, and picks the first row it shows
}

void CResultsWnd::OnApplyFilter()
{
    const std::string csFilter = m_pFilter->text().toStdString();
    const vdecode::CRowFilter filter(csFilter);
    for (int i = 0; i < m_pTable->rowCount(); ++i) {
        bool bMatch = filter.Empty();
        for (int iColumn = 0; !bMatch && iColumn < kColumns; ++iColumn)
            bMatch = filter.MatchesText(m_pTable->item(i, iColumn)->text().toStdString());
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
    if (m_bHasResults && !filter.Empty())
        m_pNote->setText(
            tr("The filter shows %1 of %2 rows.").arg(VisibleRows()).arg(m_pTable->rowCount()));
    else if (m_bHasResults)
        m_pNote->setText(
            tr("%1 rows; %2 frames heard.").arg(m_pTable->rowCount()).arg(m_heard.size()));
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

QString CResultsWnd::NoteLine() const
{
    return m_pNote->text();
}

void CResultsWnd::ShowAnswer()
{
    m_pTree->clear();
    m_detailBytes.clear();
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
    m_detailBytes = heard.bytes;
    vdecode::SFrame frame;
    frame.pData = m_detailBytes.data();
    frame.header.llTimeNs = heard.llNs;
    frame.header.uCapLen = static_cast<uint32_t>(m_detailBytes.size());
    frame.header.uWireLen = std::max<uint32_t>(heard.uWireLength, frame.header.uCapLen);
    // Numbered and timed as in the saved answers: record 0 is the first frame heard.
    frame.uNumber = line.nAnswer;
    frame.llFirstTimeNs = m_heard.front().llNs;
    std::vector<vdecode::SField> tree;
    vdecode::DecodeTree(frame, &tree);
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
        m_pNote->setText(
            tr("%1 frames heard saved in %2").arg(m_heard.size()).arg(FromBytes(csPath)));
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
