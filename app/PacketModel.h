#pragma once

#include "replay/Aim.h"

// The packet list's data: a capture read into its index on a thread of its own,
// an optional filter run on another, and a table model that decodes only the
// rows the view asks for.

#include "capture/IndexRows.h"
#include "decode/Decoder.h"
#include "decode/Segments.h"

#include <QAbstractTableModel>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora {

// Reads a capture's index in the background and, when asked, finds the records
// that match a filter text (also in the background). Plain C++: the window
// polls it.
class CCaptureLoader {
public:
    enum class EStage { Opening, OpenFailed, Open };

    // Starts reading at once.
    explicit CCaptureLoader(const std::string& csPath);
    // Stops both threads and waits for them.
    ~CCaptureLoader();
    CCaptureLoader(const CCaptureLoader&) = delete;
    CCaptureLoader& operator=(const CCaptureLoader&) = delete;

    const std::string& Path() const { return m_csPath; }
    // Why the file could not be opened (Stage() OpenFailed); one line.
    std::string OpenError() const;
    EStage Stage() const { return m_eStage.load(std::memory_order_acquire); }
    // Usable once Stage() is Open; records below Count() never change.
    const dissect::CCaptureIndex& Index() const { return m_index; }
    // Segmented answers: the reading thread adds each record to the assembler
    // soon after indexing it. Rows below Assembled() may be shown and filtered:
    // a completing record reads as the whole answer from then on. Once
    // AssemblyDone(), Assembled() is final and open answers read incomplete.
    const dissect::CSegmentAssembler& Assembler() const { return m_assembler; }
    uint64_t Assembled() const { return m_uAssembled.load(std::memory_order_acquire); }
    bool AssemblyDone() const { return m_bAssemblyDone.load(std::memory_order_acquire); }

    // Starts matching every record (those still to come too) against csText;
    // an empty text stops filtering. Forgets the previous filter's matches.
    void StartFilter(const std::string& csText);
    // Moves the matches found since the last call (ascending numbers) to the
    // end of out.
    void TakeMatches(std::vector<uint64_t>& out);
    // Records the filter has looked at; true once it has seen every record.
    uint64_t FilterScanned() const { return m_uScanned.load(std::memory_order_acquire); }
    bool FilterDone() const { return m_bFilterDone.load(std::memory_order_acquire); }

private:
    void StopFilter();
    void RunFilter(std::string csText);
    // Adds the records up to uTo (reading thread only).
    void Assemble(uint64_t uTo);

    std::string m_csPath;
    std::string m_csOpenError; // set before the stage says OpenFailed
    dissect::CCaptureIndex m_index;
    std::atomic<EStage> m_eStage { EStage::Opening };
    std::atomic<bool> m_bStopReading { false };
    dissect::CSegmentAssembler m_assembler;
    dissect::CCaptureIndex::SReadWindow m_assembleWindow; // the reading thread's
    std::atomic<uint64_t> m_uAssembled { 0 };
    std::atomic<bool> m_bAssemblyDone { false };
    std::thread m_reader;

    std::atomic<bool> m_bStopFilter { false };
    std::atomic<uint64_t> m_uScanned { 0 };
    std::atomic<bool> m_bFilterDone { false };
    std::mutex m_matchMutex;
    std::vector<uint64_t> m_matches; // found, not yet taken
    std::thread m_filter;
};

// The packet list. Without a filter row N is record N; with one, the rows are
// the matching records in file order. Rows are decoded when data() asks for
// them and kept in a small cache.
// DecodeRecord of the record as the aim sends it: its bytes rewritten by
// plan (unless the capture is not Ethernet), then decoded.
// With pAssembler, a segmented answer's record reads as the list shows it.
dissect::SRow DecodeAimedRecord(const dissect::CCaptureIndex& index, uint64_t uRecord,
    const SAimPlan& plan, std::vector<dissect::SField>* pTree = nullptr,
    std::vector<uint8_t>* pBytes = nullptr, const dissect::CSegmentAssembler* pAssembler = nullptr);

class CPacketModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CPacketModel(QObject* pParent = nullptr);

    // Shows nothing until ShowRecords or AddMatches; pIndex must stay valid
    // until the next SetIndex (nullptr clears the list); so must pAssembler,
    // which rows are decoded through when given.
    void SetIndex(const dissect::CCaptureIndex* pIndex,
        const dissect::CSegmentAssembler* pAssembler = nullptr);
    // Decodes the rows again (the assembler has learnt more); the view asks anew.
    void Refresh();
    // Unfiltered: grows the list to uCount records.
    void ShowRecords(uint64_t uCount);
    // Switches to filtered rows (none yet) or back to all uCount records.
    void SetFiltered(bool bFiltered, uint64_t uCount = 0);
    void AddMatches(const std::vector<uint64_t>& numbers);
    bool Filtered() const { return m_bFiltered; }

    // The record a row shows.
    uint64_t RecordAt(int iRow) const;
    // A capture from more than one interface gets an Interface column after
    // Time; these map the view's columns to the decoder's and back.
    bool InterfaceColumnShown() const { return m_bInterfaces; }
    int ViewColumn(dissect::EColumn column) const;
    static constexpr int kInterfaceColumn = 2;
    // Shows the records as this aim sends them (a default plan: as captured).
    void SetAim(const SAimPlan& plan);
    // Decodes done so far (for tests and the benchmark).
    uint64_t DecodeCount() const { return m_uDecodes; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int iRole = Qt::DisplayRole) const override;
    QVariant headerData(
        int iSection, Qt::Orientation orientation, int iRole = Qt::DisplayRole) const override;

private:
    const dissect::SRow& Row(uint64_t uRecord) const;
    void ForgetRows();
    void ShowInterfaces();
    // -1 for the Interface column.
    int DecoderColumn(int iViewColumn) const;

    // A screenful is far below this; consecutive records never share a slot.
    static constexpr size_t kCacheSlots = 512;
    struct SSlot {
        uint64_t uRecord = UINT64_MAX;
        dissect::SRow row;
    };

    const dissect::CCaptureIndex* m_pIndex = nullptr;
    const dissect::CSegmentAssembler* m_pAssembler = nullptr;
    SAimPlan m_aim;
    int m_iRows = 0;
    bool m_bFiltered = false;
    bool m_bInterfaces = false;
    std::vector<uint64_t> m_matches;
    mutable std::vector<SSlot> m_cache;
    mutable uint64_t m_uDecodes = 0;
};

} // namespace velmora
