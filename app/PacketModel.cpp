#include "app/PacketModel.h"
#include "capture/IndexRows.h"

#include "decode/RowFilter.h"

#include <QBrush>
#include <QColor>
#include <algorithm>
#include <chrono>
#include <climits>
#include <sys/stat.h>
#include <system_error>

namespace velmora {

namespace {

    // Matches reach the window in batches; the stop flag is looked at as often.
    // A batch is a few milliseconds of work, shared among the cores.
    constexpr uint64_t kFilterBatch = 16384;
    constexpr uint64_t kAssembleBatch = 16384;
    constexpr auto kWaitForRecords = std::chrono::milliseconds(10);

} // namespace

CCaptureLoader::CCaptureLoader(const std::string& csPath)
    : m_csPath(csPath)
{
    auto read = [this] {
        // Opening a FIFO would wait for a writer, and the window's close for
        // this thread: only a regular file is opened.
        struct stat st { };
        if (::stat(m_csPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            m_csOpenError = m_csPath + " is not a file.";
            m_eStage.store(EStage::OpenFailed, std::memory_order_release);
            return;
        }
        if (!m_index.Open(m_csPath)) {
            m_eStage.store(EStage::OpenFailed, std::memory_order_release);
            return;
        }
        m_eStage.store(EStage::Open, std::memory_order_release);
        m_index.Run(
            m_bStopReading, [this](uint64_t uRecords, uint64_t, uint64_t) { Assemble(uRecords); });
        Assemble(m_index.Count());
        m_assembler.Finish();
        m_bAssemblyDone.store(true, std::memory_order_release);
    };
    try {
        m_reader = std::thread(read);
    } catch (const std::system_error&) {
        read(); // no thread to be had: read here, the window only waits longer
    }
}

CCaptureLoader::~CCaptureLoader()
{
    StopFilter();
    m_bStopReading = true;
    if (m_reader.joinable())
        m_reader.join();
}

void CCaptureLoader::Assemble(uint64_t uTo)
{
    uint64_t u = m_uAssembled.load(std::memory_order_relaxed);
    while (u < uTo && !m_bStopReading.load(std::memory_order_relaxed)) {
        // Pieces small enough that closing the window never waits long.
        const uint64_t uEnd = std::min(uTo, u + kAssembleBatch);
        u = dissect::AddRecords(m_assembler, m_index, u, uEnd, m_assembleWindow);
        if (u < uEnd)
            ++u; // a record that cannot be read has nothing to add; its row says why
        m_uAssembled.store(u, std::memory_order_release);
    }
}

std::string CCaptureLoader::OpenError() const
{
    if (Stage() != EStage::OpenFailed)
        return "";
    return m_csOpenError.empty() ? m_index.Error() : m_csOpenError;
}

void CCaptureLoader::StopFilter()
{
    m_bStopFilter = true;
    if (m_filter.joinable())
        m_filter.join();
    m_bStopFilter = false;
    const std::lock_guard lock(m_matchMutex);
    m_matches.clear();
}

void CCaptureLoader::StartFilter(const std::string& csText)
{
    StopFilter();
    m_uScanned = 0;
    m_bFilterDone = false;
    if (dissect::CRowFilter(csText).Empty()) {
        m_bFilterDone = true;
        return;
    }
    try {
        m_filter = std::thread(&CCaptureLoader::RunFilter, this, csText);
    } catch (const std::system_error&) {
        RunFilter(csText);
    }
}

void CCaptureLoader::TakeMatches(std::vector<uint64_t>& out)
{
    const std::lock_guard lock(m_matchMutex);
    out.insert(out.end(), m_matches.begin(), m_matches.end());
    m_matches.clear();
}

void CCaptureLoader::RunFilter(std::string csText)
{
    const dissect::CRowFilter filter(csText);
    // Decoding is the cost: every core takes a share of each batch.
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<uint64_t> found;
    uint64_t uNext = 0;
    while (!m_bStopFilter) {
        const EStage eStage = Stage();
        if (eStage == EStage::OpenFailed)
            break;
        // Only records the assembler has seen, so a completing record matches
        // on the whole answer. Done first: once it is set, the count is final.
        const bool bDone = AssemblyDone();
        const uint64_t uCount = eStage == EStage::Open ? Assembled() : 0;
        if (uNext == uCount) {
            if (bDone)
                break;
            std::this_thread::sleep_for(kWaitForRecords);
            continue;
        }
        const uint64_t uEnd = std::min(uCount, uNext + kFilterBatch);
        dissect::FindMatches(m_index, filter, uNext, uEnd, found, nThreads, &m_assembler);
        uNext = uEnd;
        {
            const std::lock_guard lock(m_matchMutex);
            m_matches.insert(m_matches.end(), found.begin(), found.end());
        }
        found.clear();
        m_uScanned.store(uNext, std::memory_order_release);
    }
    if (!m_bStopFilter)
        m_bFilterDone.store(true, std::memory_order_release);
}

CPacketModel::CPacketModel(QObject* pParent)
    : QAbstractTableModel(pParent)
    , m_cache(kCacheSlots)
{
}

void CPacketModel::ForgetRows()
{
    for (SSlot& slot : m_cache)
        slot.uRecord = UINT64_MAX;
}

void CPacketModel::SetIndex(
    const dissect::CCaptureIndex* pIndex, const dissect::CSegmentAssembler* pAssembler)
{
    beginResetModel();
    m_pIndex = pIndex;
    m_pAssembler = pIndex ? pAssembler : nullptr;
    m_iRows = 0;
    m_bFiltered = false;
    m_bInterfaces = false;
    m_matches.clear();
    ForgetRows();
    endResetModel();
}

// Interfaces are described before their records: by the time a row of a
// second interface shows, the column is there.
void CPacketModel::ShowInterfaces()
{
    if (m_bInterfaces || !m_pIndex || m_pIndex->InterfaceCount() < 2)
        return;
    beginInsertColumns(QModelIndex(), kInterfaceColumn, kInterfaceColumn);
    m_bInterfaces = true;
    endInsertColumns();
}

int CPacketModel::ViewColumn(dissect::EColumn column) const
{
    const int i = static_cast<int>(column);
    return m_bInterfaces && i >= kInterfaceColumn ? i + 1 : i;
}

int CPacketModel::DecoderColumn(int iViewColumn) const
{
    if (!m_bInterfaces || iViewColumn < kInterfaceColumn)
        return iViewColumn;
    return iViewColumn == kInterfaceColumn ? -1 : iViewColumn - 1;
}

void CPacketModel::ShowRecords(uint64_t uCount)
{
    if (m_bFiltered || !m_pIndex)
        return;
    ShowInterfaces();
    const int iRows = static_cast<int>(std::min<uint64_t>(uCount, INT_MAX));
    if (iRows <= m_iRows)
        return;
    beginInsertRows(QModelIndex(), m_iRows, iRows - 1);
    m_iRows = iRows;
    endInsertRows();
}

void CPacketModel::SetFiltered(bool bFiltered, uint64_t uCount)
{
    beginResetModel();
    m_bFiltered = bFiltered;
    m_matches.clear();
    m_iRows = 0;
    endResetModel();
    if (!bFiltered)
        ShowRecords(uCount);
}

void CPacketModel::AddMatches(const std::vector<uint64_t>& numbers)
{
    if (!m_bFiltered || numbers.empty() || m_matches.size() >= INT_MAX)
        return;
    ShowInterfaces();
    const size_t nAdd = std::min<size_t>(numbers.size(), INT_MAX - m_matches.size());
    beginInsertRows(QModelIndex(), m_iRows, static_cast<int>(m_iRows + nAdd - 1));
    m_matches.insert(
        m_matches.end(), numbers.begin(), numbers.begin() + static_cast<ptrdiff_t>(nAdd));
    m_iRows = static_cast<int>(m_matches.size());
    endInsertRows();
}

uint64_t CPacketModel::RecordAt(int iRow) const
{
    if (iRow < 0 || iRow >= m_iRows)
        return UINT64_MAX;
    return m_bFiltered ? m_matches[static_cast<size_t>(iRow)] : static_cast<uint64_t>(iRow);
}

void CPacketModel::Refresh()
{
    ForgetRows();
    if (m_iRows > 0)
        emit dataChanged(index(0, 0), index(m_iRows - 1, columnCount() - 1));
}

void CPacketModel::SetAim(const SAimPlan& plan)
{
    m_aim = plan;
    ForgetRows();
    if (m_iRows > 0)
        emit dataChanged(index(0, 0), index(m_iRows - 1, columnCount() - 1));
}

dissect::SRow DecodeAimedRecord(const dissect::CCaptureIndex& index, uint64_t uRecord,
    const SAimPlan& plan, std::vector<dissect::SField>* pTree, std::vector<uint8_t>* pBytes,
    const dissect::CSegmentAssembler* pAssembler)
{
    dissect::SRecord record;
    if (!plan.Active() || !index.Read(uRecord, record))
        return pAssembler ? dissect::DecodeRecord(index, *pAssembler, uRecord, pTree, pBytes)
                          : dissect::DecodeRecord(index, uRecord, pTree, pBytes);
    // The record's own interface decides: a pcapng capture may mix link types.
    if (index.Frame(uRecord, record).uLinkType == dissect::kLinkEthernet)
        AimRecord(plan, record);
    // Taken after the aim: a route may have given the bytes a new length and place.
    const dissect::SFrame frame = index.Frame(uRecord, record);
    dissect::SRow row;
    if (pAssembler) {
        // The other segments as captured: the aim leaves their service data alone.
        const auto read = dissect::IndexReader(index);
        row = pAssembler->Decode(frame, pTree, read);
    } else {
        row = pTree ? dissect::DecodeTree(frame, pTree) : dissect::DecodeRow(frame);
    }
    if (pBytes)
        *pBytes = std::move(record.bytes);
    return row;
}

const dissect::SRow& CPacketModel::Row(uint64_t uRecord) const
{
    SSlot& slot = m_cache[uRecord % kCacheSlots];
    if (slot.uRecord != uRecord) {
        slot.row = DecodeAimedRecord(*m_pIndex, uRecord, m_aim, nullptr, nullptr, m_pAssembler);
        slot.uRecord = uRecord;
        ++m_uDecodes;
    }
    return slot.row;
}

int CPacketModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_iRows;
}

int CPacketModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : dissect::kColumnCount + (m_bInterfaces ? 1 : 0);
}

QVariant CPacketModel::data(const QModelIndex& index, int iRole) const
{
    if (!m_pIndex || !index.isValid() || index.row() >= m_iRows)
        return {};
    const int iColumn = DecoderColumn(index.column());
    const auto column = static_cast<dissect::EColumn>(iColumn);
    switch (iRole) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: {
        const uint64_t uRecord = RecordAt(index.row());
        const dissect::SRow& row = Row(uRecord);
        QString q = iColumn < 0
            ? QString::fromStdString(m_pIndex->InterfaceLabel(m_pIndex->InterfaceOf(uRecord)))
            : QString::fromStdString(dissect::ColumnText(row, column));
        if (iRole == Qt::ToolTipRole && row.bMalformed)
            q += QStringLiteral("\nThis record does not decode completely.");
        if (iRole == Qt::ToolTipRole && row.bBadChecksum)
            q += QStringLiteral("\nA checksum is wrong: a device drops this frame (a capture "
                                "taken on the sending host?). Listening or aiming mends it.");
        return q;
    }
    case Qt::TextAlignmentRole:
        if (column == dissect::EColumn::Number || column == dissect::EColumn::Time
            || column == dissect::EColumn::Length)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    // A malformed record stands out in every column, in light and dark themes alike.
    case Qt::BackgroundRole:
        if (Row(RecordAt(index.row())).bMalformed)
            return QBrush(QColor(0xff, 0xd6, 0xd6));
        return {};
    case Qt::ForegroundRole:
        if (Row(RecordAt(index.row())).bMalformed)
            return QBrush(QColor(0x8b, 0x00, 0x00));
        return {};
    default:
        return {};
    }
}

QVariant CPacketModel::headerData(int iSection, Qt::Orientation orientation, int iRole) const
{
    if (orientation != Qt::Horizontal || iRole != Qt::DisplayRole || iSection < 0
        || iSection >= columnCount())
        return QAbstractTableModel::headerData(iSection, orientation, iRole);
    const int iColumn = DecoderColumn(iSection);
    if (iColumn < 0)
        return tr("Interface");
    return QString::fromLatin1(dissect::ColumnTitle(static_cast<dissect::EColumn>(iColumn)));
}

} // namespace velmora
