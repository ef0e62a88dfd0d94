#include "app/PacketsWnd.h"

#include "decode/RowFilter.h"
#include "decode/Thousands.h"
#include "session/ReplayWords.h"

#include <QCheckBox>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTextBlock>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cstdio>

namespace velmora {

namespace {

    // Quick until the first rows show, then slow enough to cost nothing.
    constexpr int kFirstPollMs = 10;
    constexpr int kPollMs = 40;
    // Typing pauses this long before the filter starts over.
    constexpr int kFilterDelayMs = 250;

    constexpr int kOffsetRole = Qt::UserRole;
    constexpr int kLengthRole = Qt::UserRole + 1;

    // File names and texts that carry them are bytes; show them as Qt shows file names.
    QString FromBytes(const std::string& cs)
    {
        return QFile::decodeName(QByteArray::fromStdString(cs));
    }

    QString FileNameText(const std::string& csPath)
    {
        return FromBytes(FileName(csPath));
    }

    QString GroupedNumber(uint64_t u)
    {
        return QString::fromStdString(dissect::Thousands(u));
    }

} // namespace

void AddFieldItems(
    QTreeWidgetItem* pParent, QTreeWidget* pTree, const std::vector<dissect::SField>& fields)
{
    for (const dissect::SField& field : fields) {
        auto* pItem = pParent ? new QTreeWidgetItem(pParent) : new QTreeWidgetItem(pTree);
        pItem->setText(0, QString::fromStdString(field.Text()));
        pItem->setData(0, kOffsetRole, field.uOffset);
        pItem->setData(0, kLengthRole, field.uLength);
        AddFieldItems(pItem, pTree, field.children);
    }
}

QString HexDump(const std::vector<uint8_t>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    QString q;
    q.reserve(static_cast<int>((bytes.size() / 16 + 1) * kHexDumpLine));
    for (size_t nLine = 0; nLine < bytes.size(); nLine += 16) {
        char sz[kHexDumpLine + 1];
        std::fill(sz, sz + kHexDumpLine, ' ');
        std::snprintf(sz, sizeof sz, "%04zx", nLine);
        sz[4] = ' ';
        const size_t nEnd = std::min(bytes.size(), nLine + 16);
        for (size_t i = nLine; i < nEnd; ++i) {
            sz[HexDumpColumn(i)] = kDigits[bytes[i] >> 4];
            sz[HexDumpColumn(i) + 1] = kDigits[bytes[i] & 15];
            sz[HexDumpTextColumn(i)]
                = bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
        }
        sz[kHexDumpLine - 1] = '\n';
        q += QString::fromLatin1(sz, kHexDumpLine);
    }
    if (!q.isEmpty())
        q.chop(1); // no empty line after the last
    return q;
}

CPacketsWnd::CPacketsWnd(IPacketsOwner& owner, QWidget* pParent)
    // A dialog to the window system, so that it stays with the main window
    // (X11 keeps only dialogs transient); non-modal, and it can grow.
    : QWidget(pParent,
        Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint
            | Qt::WindowCloseButtonHint)
    , m_owner(owner)
{
    BuildWindow();
    m_pollTimer.setInterval(kFirstPollMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &CPacketsWnd::Poll);
    m_filterDelay.setSingleShot(true);
    m_filterDelay.setInterval(kFilterDelayMs);
    connect(&m_filterDelay, &QTimer::timeout, this, &CPacketsWnd::OnApplyFilter);
}

// The model lets go of the index before the loader (and its threads) go.
CPacketsWnd::~CPacketsWnd()
{
    m_model.SetIndex(nullptr);
    m_pLoader.reset();
}

void CPacketsWnd::BuildWindow()
{
    setObjectName(QStringLiteral("packets"));
    setWindowTitle(tr("Packets"));
    // Room for the Info column, but never more than the screen it opens on.
    QSize size(1240, 760);
    if (const QScreen* pScreen = screen())
        size = size.boundedTo(pScreen->availableGeometry().size() * 0.9);
    resize(size);

    m_pFilter = new QLineEdit(this);
    m_pFilter->setObjectName(QStringLiteral("filter"));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->installEventFilter(this);
    m_pFilter->setPlaceholderText(tr("Filter: text in any column, e.g. who-is, readProperty, "
                                     "analog-input,1, present-value, 10.0.0.2"));
    auto* pFilterLabel = new QLabel(tr("&Filter:"), this);
    pFilterLabel->setBuddy(m_pFilter);

    m_pTable = new QTableView(this);
    m_pTable->setObjectName(QStringLiteral("table"));
    m_pTable->setModel(&m_model);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setShowGrid(false);
    m_pTable->setWordWrap(false);
    m_pTable->setAlternatingRowColors(true);
    m_pTable->setTabKeyNavigation(false);
    m_pTable->verticalHeader()->hide();
    // Fixed heights: the view never measures a row, whatever the count.
    m_pTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_pTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->horizontalHeader()->setHighlightSections(false);
    SetColumnWidths();
    connect(&m_model, &QAbstractItemModel::columnsInserted, this, &CPacketsWnd::SetColumnWidths);
    m_pTable->installEventFilter(this);

    m_pTree = new QTreeWidget(this);
    m_pTree->setObjectName(QStringLiteral("fields"));
    m_pTree->setHeaderHidden(true);
    m_pTree->setColumnCount(1);

    m_pHex = new QPlainTextEdit(this);
    m_pHex->setObjectName(QStringLiteral("hex"));
    m_pHex->setReadOnly(true);
    m_pHex->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pHex->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pHex->setTabChangesFocus(true);

    auto* pDetails = new QSplitter(Qt::Horizontal, this);
    pDetails->addWidget(m_pTree);
    pDetails->addWidget(m_pHex);
    pDetails->setStretchFactor(0, 1);
    pDetails->setStretchFactor(1, 0);
    // The dump at its full width, the tree beside it.
    const int iHexWidth
        = QFontMetrics(m_pHex->font()).horizontalAdvance(QString(kHexDumpLine + 2, 'x'))
        + m_pHex->verticalScrollBar()->sizeHint().width() + 2 * m_pHex->frameWidth();
    pDetails->setSizes({ width() - iHexWidth, iHexWidth });
    auto* pSplit = new QSplitter(Qt::Vertical, this);
    pSplit->addWidget(m_pTable);
    pSplit->addWidget(pDetails);
    pSplit->setStretchFactor(0, 3);
    pSplit->setStretchFactor(1, 2);
    pSplit->setChildrenCollapsible(false);

    m_pStatus = new QLabel(this);
    m_pStatus->setObjectName(QStringLiteral("status"));
    m_pStatus->setTextFormat(Qt::PlainText);
    m_pStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pNote = new QLabel(this);
    m_pNote->setObjectName(QStringLiteral("note"));
    m_pNote->setTextFormat(Qt::PlainText);

    m_pUseAsOffset = new QPushButton(tr("&Use as offset"), this);
    m_pUseAsOffset->setObjectName(QStringLiteral("useAsOffset"));
    m_pUseAsOffset->setToolTip(
        tr("Single Packet, with this record's number as the offset (Enter, double-click)"));
    m_pSendSelected = new QPushButton(tr("&Send selected"), this);
    m_pSendSelected->setObjectName(QStringLiteral("sendSelected"));
    m_pSendSelected->setToolTip(
        tr("Sends the selected records, in file order, on the main window's adapter"));
    m_pClose = new QPushButton(tr("Close"), this);
    m_pClose->setObjectName(QStringLiteral("close"));
    m_pShowAimed = new QCheckBox(tr("Show ai&med"), this);
    m_pShowAimed->setObjectName(QStringLiteral("showAimed"));
    m_pShowAimed->setToolTip(tr("The addresses and bytes as Send options aim them"));
    // Enter belongs to the list (Use as offset), never to a default button.
    for (QPushButton* p : { m_pUseAsOffset, m_pSendSelected, m_pClose })
        p->setAutoDefault(false);

    auto* pTop = new QHBoxLayout;
    pTop->addWidget(pFilterLabel);
    pTop->addWidget(m_pFilter, 1);
    auto* pBottom = new QHBoxLayout;
    auto* pLines = new QVBoxLayout;
    pLines->addWidget(m_pStatus);
    pLines->addWidget(m_pNote);
    pBottom->addLayout(pLines, 1);
    pBottom->addWidget(m_pShowAimed);
    pBottom->addWidget(m_pUseAsOffset);
    pBottom->addWidget(m_pSendSelected);
    pBottom->addWidget(m_pClose);
    auto* pMain = new QVBoxLayout(this);
    pMain->addLayout(pTop);
    pMain->addWidget(pSplit, 1);
    pMain->addLayout(pBottom);

    setTabOrder(m_pFilter, m_pTable);
    setTabOrder(m_pTable, m_pTree);
    setTabOrder(m_pTree, m_pHex);
    setTabOrder(m_pHex, m_pShowAimed);
    setTabOrder(m_pShowAimed, m_pUseAsOffset);
    setTabOrder(m_pUseAsOffset, m_pSendSelected);
    setTabOrder(m_pSendSelected, m_pClose);

    connect(m_pFilter, &QLineEdit::textChanged, this, [this] { m_filterDelay.start(); });
    connect(m_pFilter, &QLineEdit::returnPressed, this, &CPacketsWnd::OnApplyFilter);
    connect(m_pTable, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid())
            OnUseAsOffset();
    });
    connect(m_pTable->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        ShowRecordDetails();
        UpdateButtons();
    });
    connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
        &CPacketsWnd::ShowRecordDetails);
    connect(m_pTree, &QTreeWidget::currentItemChanged, this, &CPacketsWnd::HighlightField);
    connect(m_pUseAsOffset, &QPushButton::clicked, this, &CPacketsWnd::OnUseAsOffset);
    connect(m_pSendSelected, &QPushButton::clicked, this, &CPacketsWnd::OnSendSelected);
    connect(m_pClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_pShowAimed, &QCheckBox::toggled, this, &CPacketsWnd::UpdateSendTarget);

    m_pTable->setFocus();
    UpdateSendTarget();
}

void CPacketsWnd::SetColumnWidths()
{
    const int iChar = fontMetrics().averageCharWidth();
    // No., Time, Source, Destination, Protocol, Length; Info takes the rest.
    // Time has room for nine decimals (nanosecond captures and interfaces).
    const std::pair<dissect::EColumn, int> widths[]
        = { { dissect::EColumn::Number, 8 }, { dissect::EColumn::Time, 14 },
              { dissect::EColumn::Source, 35 }, { dissect::EColumn::Destination, 35 },
              { dissect::EColumn::Protocol, 16 }, { dissect::EColumn::Length, 7 } };
    for (const auto& [column, iChars] : widths)
        m_pTable->setColumnWidth(m_model.ViewColumn(column), iChars * iChar + 12);
    if (m_model.InterfaceColumnShown())
        m_pTable->setColumnWidth(CPacketModel::kInterfaceColumn, 12 * iChar + 12);
}

void CPacketsWnd::ShowCapture(const std::string& csPath)
{
    if (m_pLoader && m_pLoader->Path() == csPath
        && m_pLoader->Stage() == CCaptureLoader::EStage::Open
        && m_pLoader->Index().State() != dissect::CCaptureIndex::EState::Failed)
        return;
    m_model.SetIndex(nullptr);
    m_pLoader.reset();
    m_bFirstRowsShown = false;
    m_bModelBound = false;
    m_uAssembledShown = 0;
    m_bAssemblyDoneShown = false;
    m_uDetailsRecord = UINT64_MAX;
    m_pTree->clear();
    m_pHex->clear();
    SetNote(QString(), false);
    setWindowTitle(csPath.empty() ? tr("Packets") : tr("Packets - %1").arg(FileNameText(csPath)));
    if (!csPath.empty()) {
        m_pLoader = std::make_unique<CCaptureLoader>(csPath);
        m_pollTimer.setInterval(kFirstPollMs);
        m_pLoader->StartFilter(m_csFilter);
        m_pollTimer.start();
    }
    Poll();
}

void CPacketsWnd::Poll()
{
    // Looked at first: whatever the threads add after it is taken by the next poll.
    const bool bWasIdle = Idle();
    if (m_pLoader && m_pLoader->Stage() == CCaptureLoader::EStage::Open) {
        const dissect::CCaptureIndex& index = m_pLoader->Index();
        if (!m_bModelBound) {
            m_model.SetIndex(&index, &m_pLoader->Assembler());
            m_model.SetFiltered(FilterOn(), 0);
            m_bModelBound = true;
        }
        // Done first: the count read after it is final.
        const bool bAssemblyDone = m_pLoader->AssemblyDone();
        const uint64_t uAssembled = m_pLoader->Assembled();
        // A segment shown as "incomplete so far" may since have found its answer.
        if ((uAssembled != m_uAssembledShown || bAssemblyDone != m_bAssemblyDoneShown)
            && m_pLoader->Assembler().AnswerCount() > 0) {
            m_model.Refresh();
            m_uDetailsRecord = UINT64_MAX;
            ShowRecordDetails();
        }
        m_uAssembledShown = uAssembled;
        m_bAssemblyDoneShown = bAssemblyDone;
        if (m_model.Filtered()) {
            std::vector<uint64_t> found;
            m_pLoader->TakeMatches(found);
            m_model.AddMatches(found);
        } else {
            m_model.ShowRecords(uAssembled);
        }
        if (!m_bFirstRowsShown && m_model.rowCount() > 0) {
            m_bFirstRowsShown = true;
            m_pollTimer.setInterval(kPollMs);
            // Something to act on from the start: Enter and the buttons have a row.
            // Not selectRow(): it reads a Ctrl still held from Ctrl+L as a toggle.
            if (!m_pTable->selectionModel()->hasSelection())
                m_pTable->selectionModel()->setCurrentIndex(m_model.index(0, 0),
                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
    }
    if (bWasIdle)
        m_pollTimer.stop();
    UpdateStatus();
}

bool CPacketsWnd::FilterOn() const
{
    return !dissect::CRowFilter(m_csFilter).Empty();
}

bool CPacketsWnd::Idle() const
{
    if (!m_pLoader)
        return true;
    if (m_pLoader->Stage() == CCaptureLoader::EStage::Opening)
        return false;
    if (m_pLoader->Stage() == CCaptureLoader::EStage::OpenFailed)
        return true;
    // Rows follow the assembler, which follows the index.
    if (!m_pLoader->AssemblyDone() || !m_bAssemblyDoneShown)
        return false;
    const uint64_t uAssembled = m_pLoader->Assembled();
    if (!m_model.Filtered())
        return static_cast<uint64_t>(m_model.rowCount()) >= std::min<uint64_t>(uAssembled, INT_MAX);
    return m_pLoader->FilterDone() && m_pLoader->FilterScanned() >= uAssembled;
}

void CPacketsWnd::UpdateStatus()
{
    QString q;
    if (!m_pLoader) {
        q = tr("No capture to list: the main window's path field is empty.");
    } else if (m_pLoader->Stage() == CCaptureLoader::EStage::Opening) {
        q = tr("Opening %1 ...").arg(FileNameText(m_pLoader->Path()));
    } else if (m_pLoader->Stage() == CCaptureLoader::EStage::OpenFailed) {
        q = FromBytes(m_pLoader->OpenError());
    } else {
        const dissect::CCaptureIndex& index = m_pLoader->Index();
        const uint64_t uCount = index.Count();
        switch (index.State()) {
        case dissect::CCaptureIndex::EState::Reading: {
            const uint64_t uSize = index.FileSize();
            const int iPercent = uSize ? static_cast<int>(index.BytesDone() * 100 / uSize) : 0;
            q = tr("Reading %1: %2 records so far (%3%)")
                    .arg(FileNameText(m_pLoader->Path()), GroupedNumber(uCount))
                    .arg(iPercent);
            break;
        }
        case dissect::CCaptureIndex::EState::Failed:
            q = tr("%1 The list shows the %2 records read before it.")
                    .arg(FromBytes(index.Error()), GroupedNumber(uCount));
            break;
        default:
            q = tr("%1: %2 records").arg(FileNameText(m_pLoader->Path()), GroupedNumber(uCount));
            break;
        }
        if (m_model.Filtered()) {
            q += tr("; the filter matches %1")
                     .arg(GroupedNumber(static_cast<uint64_t>(m_model.rowCount())));
            if (!m_pLoader->FilterDone())
                q += tr(" (looking: %1 of %2 records)")
                         .arg(GroupedNumber(m_pLoader->FilterScanned()), GroupedNumber(uCount));
        }
        // Listed, but libpcap (and so Send) stops before the end: said last.
        if (index.SendLimit() < uCount)
            q += (q.endsWith('.') ? QStringLiteral(" ") : QStringLiteral(". "))
                + FromBytes(index.SendLimitNote());
    }
    if (m_pStatus->text() != q)
        m_pStatus->setText(q);
    // A file that could not be read (wholly) says so in red.
    const bool bProblem = m_pLoader
        && (m_pLoader->Stage() == CCaptureLoader::EStage::OpenFailed
            || (m_pLoader->Stage() == CCaptureLoader::EStage::Open
                && m_pLoader->Index().State() == dissect::CCaptureIndex::EState::Failed));
    QPalette palette = this->palette();
    if (bProblem)
        palette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    m_pStatus->setPalette(palette);
}

QString CPacketsWnd::StatusLine() const
{
    return m_pStatus->text();
}
QString CPacketsWnd::NoteLine() const
{
    return m_pNote->text();
}

void CPacketsWnd::SetNote(const QString& q, bool bProblem)
{
    m_pNote->setText(q);
    QPalette palette = this->palette();
    if (bProblem)
        palette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    m_pNote->setPalette(palette);
}

void CPacketsWnd::OnApplyFilter()
{
    m_filterDelay.stop();
    if (!m_pLoader) {
        m_csFilter = m_pFilter->text().toStdString();
        return;
    }
    m_csFilter = m_pFilter->text().toStdString();
    m_pLoader->StartFilter(m_csFilter);
    if (m_bModelBound) {
        m_model.SetFiltered(FilterOn(), m_pLoader->Assembled());
        m_bFirstRowsShown = false;
    }
    // The list starts over: the old record's fields go, even when no row follows.
    m_uDetailsRecord = UINT64_MAX;
    m_pTree->clear();
    m_pHex->clear();
    m_detailBytes.clear();
    ShowRecordDetails();
    m_pollTimer.start();
    Poll();
}

int CPacketsWnd::ActionRow() const
{
    const QItemSelectionModel* pSelection = m_pTable->selectionModel();
    const QModelIndex current = pSelection->currentIndex();
    if (current.isValid() && pSelection->isRowSelected(current.row(), QModelIndex()))
        return current.row();
    const QModelIndexList rows = pSelection->selectedRows();
    if (rows.isEmpty())
        return -1;
    return std::min_element(rows.begin(), rows.end(),
        [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); })
        ->row();
}

void CPacketsWnd::ShowRecordDetails()
{
    const int iRow = ActionRow();
    const uint64_t uRecord = iRow < 0 ? UINT64_MAX : m_model.RecordAt(iRow);
    if (uRecord == m_uDetailsRecord)
        return;
    m_uDetailsRecord = uRecord;
    m_pTree->clear();
    m_detailBytes.clear();
    if (uRecord == UINT64_MAX || !m_pLoader) {
        m_pHex->clear();
        return;
    }
    std::vector<dissect::SField> tree;
    DecodeAimedRecord(
        m_pLoader->Index(), uRecord, m_aim, &tree, &m_detailBytes, &m_pLoader->Assembler());
    AddFieldItems(nullptr, m_pTree, tree);
    m_pTree->expandAll();
    m_pHex->setPlainText(HexDump(m_detailBytes));
}

void CPacketsWnd::HighlightField()
{
    HighlightFieldBytes(m_pHex, m_pTree->currentItem(), m_detailBytes.size());
}

void HighlightFieldBytes(QPlainTextEdit* pHex, const QTreeWidgetItem* pItem, size_t nBytes)
{
    QList<QTextEdit::ExtraSelection> marks;
    const uint64_t uOffset = pItem ? pItem->data(0, kOffsetRole).toULongLong() : 0;
    const uint64_t uLength = pItem ? pItem->data(0, kLengthRole).toULongLong() : 0;
    const uint64_t uEnd = std::min<uint64_t>(uOffset + uLength, nBytes);
    QTextCharFormat format;
    format.setBackground(pHex->palette().highlight());
    format.setForeground(pHex->palette().highlightedText());
    QTextDocument* pDoc = pHex->document();
    // One mark per line and part (hex, text) the field's bytes cover.
    for (uint64_t uFirst = uOffset; uFirst < uEnd; uFirst = (uFirst / 16 + 1) * 16) {
        const uint64_t uLast = std::min(uEnd, (uFirst / 16 + 1) * 16) - 1;
        const QTextBlock block = pDoc->findBlockByNumber(static_cast<int>(uFirst / 16));
        if (!block.isValid())
            break;
        const std::pair<int, int> spans[] = {
            { HexDumpColumn(uFirst), HexDumpColumn(uLast) + 2 },
            { HexDumpTextColumn(uFirst), HexDumpTextColumn(uLast) + 1 },
        };
        for (const auto& [iFrom, iTo] : spans) {
            QTextEdit::ExtraSelection mark;
            mark.format = format;
            mark.cursor = QTextCursor(block);
            mark.cursor.setPosition(block.position() + iFrom);
            mark.cursor.setPosition(block.position() + iTo, QTextCursor::KeepAnchor);
            marks.append(mark);
        }
    }
    pHex->setExtraSelections(marks);
    if (!marks.isEmpty())
        pHex->setTextCursor(QTextCursor(marks.front().cursor.block()));
}

void CPacketsWnd::UpdateButtons()
{
    const bool bAny = m_pTable->selectionModel()->hasSelection();
    m_pUseAsOffset->setEnabled(m_bSendingAllowed && bAny);
    m_pSendSelected->setEnabled(m_bSendingAllowed && bAny);
    // Where the frames go is on the button, before they go. Rows are
    // counted by range, so that a selection of millions costs nothing.
    uint64_t uRows = 0;
    for (const QItemSelectionRange& range : m_pTable->selectionModel()->selection())
        uRows += static_cast<uint64_t>(range.bottom() - range.top() + 1);
    const std::string csAdapter = m_owner.SendAdapter();
    const QString qsWhere = csAdapter.empty() ? tr("(no adapter chosen)")
                                              : tr("on %1").arg(QString::fromStdString(csAdapter));
    m_pSendSelected->setText(uRows == 0 ? tr("&Send selected %1").arg(qsWhere)
            : uRows == 1                ? tr("&Send 1 record %1").arg(qsWhere)
                         : tr("&Send %1 records %2").arg(GroupedNumber(uRows), qsWhere));
}

void CPacketsWnd::UpdateSendTarget()
{
    m_aim = m_pShowAimed->isChecked() ? m_owner.SendAim() : SAimPlan();
    m_model.SetAim(m_aim);
    m_uDetailsRecord = UINT64_MAX; // the bytes shown may change
    ShowRecordDetails();
    UpdateButtons();
}

void CPacketsWnd::EnableSending(bool bEnable)
{
    m_bSendingAllowed = bEnable;
    UpdateButtons();
}

void CPacketsWnd::OnUseAsOffset()
{
    const int iRow = ActionRow();
    if (!m_bSendingAllowed || iRow < 0)
        return;
    const uint64_t uRecord = m_model.RecordAt(iRow);
    const std::string csProblem = m_owner.UseRecordAsOffset(uRecord);
    const QString qLimit = SendLimitFor(uRecord);
    if (!csProblem.empty())
        SetNote(QString::fromStdString(csProblem), true);
    else if (!qLimit.isEmpty())
        SetNote(tr("Single Packet at offset %1, saved. %2").arg(uRecord).arg(qLimit), true);
    else
        SetNote(tr("Single Packet at offset %1, saved.").arg(uRecord), false);
}

QString CPacketsWnd::SendLimitFor(uint64_t uRecord) const
{
    if (!m_pLoader || m_pLoader->Stage() != CCaptureLoader::EStage::Open
        || uRecord < m_pLoader->Index().SendLimit())
        return QString();
    return FromBytes(m_pLoader->Index().SendLimitNote());
}

void CPacketsWnd::OnSendSelected()
{
    if (!m_bSendingAllowed || !m_pLoader)
        return;
    CRecordSelection selection;
    for (const QItemSelectionRange& range : m_pTable->selectionModel()->selection()) {
        for (int iRow = range.top(); iRow <= range.bottom(); ++iRow)
            selection.push_back(m_model.RecordAt(iRow));
    }
    if (selection.empty())
        return;
    std::sort(selection.begin(), selection.end());
    selection.erase(std::unique(selection.begin(), selection.end()), selection.end());
    // The records before the limit still go; the note says why the rest cannot.
    const QString qLimit = SendLimitFor(selection.back());
    SetNote(qLimit, !qLimit.isEmpty());
    // A copy: the window may read the file again while the records go out.
    const std::string csPath = m_pLoader->Path();
    m_owner.SendRecordSelection(csPath, selection);
}

// Escape closes the window from any of its controls (none of them uses it).
void CPacketsWnd::keyPressEvent(QKeyEvent* pEvent)
{
    if (pEvent->key() == Qt::Key_Escape && pEvent->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

bool CPacketsWnd::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    // Down from the filter goes on to the rows it found.
    if (pWatched == m_pFilter && pEvent->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(pEvent)->key() == Qt::Key_Down) {
        m_pTable->setFocus(Qt::TabFocusReason);
        return true;
    }
    if (pWatched == m_pTable && pEvent->type() == QEvent::KeyPress) {
        const auto* pKey = static_cast<QKeyEvent*>(pEvent);
        const int iKey = pKey->key();
        if (iKey == Qt::Key_Return || iKey == Qt::Key_Enter) {
            OnUseAsOffset();
            return true;
        }
        // First and last record, as in other packet lists (the view would go
        // to the first or last column); Shift extends the selection.
        const Qt::KeyboardModifiers mods = pKey->modifiers() & ~Qt::KeypadModifier;
        if ((iKey == Qt::Key_Home || iKey == Qt::Key_End)
            && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) {
            GoToEnd(iKey == Qt::Key_End, mods == Qt::ShiftModifier);
            return true;
        }
    }
    return QWidget::eventFilter(pWatched, pEvent);
}

void CPacketsWnd::GoToEnd(bool bEnd, bool bExtend)
{
    const int iRows = m_model.rowCount();
    if (iRows == 0)
        return;
    QItemSelectionModel* pSelection = m_pTable->selectionModel();
    const QModelIndex current = pSelection->currentIndex();
    const int iColumn = current.isValid() ? current.column() : 0;
    const QModelIndex target = m_model.index(bEnd ? iRows - 1 : 0, iColumn);
    if (bExtend && current.isValid()) {
        const int iFrom = std::min(current.row(), target.row());
        const int iTo = std::max(current.row(), target.row());
        pSelection->select(QItemSelection(m_model.index(iFrom, 0), m_model.index(iTo, 0)),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        pSelection->setCurrentIndex(target, QItemSelectionModel::NoUpdate);
    } else {
        pSelection->setCurrentIndex(
            target, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    m_pTable->scrollTo(target);
}

} // namespace velmora
