#pragma once

#include "app/PacketModel.h"
#include "decode/Decoder.h"
#include "replay/Replay.h"

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmora {

// What the Packets window asks of the main window.
class IPacketsOwner {
public:
    virtual ~IPacketsOwner() = default;
    // Sets Single Packet and the offset to uRecord and saves the settings, as
    // the user would by clicking and typing. "" when done, otherwise one line
    // saying why not (a record beyond the offset field's range, a Send running).
    virtual std::string UseRecordAsOffset(uint64_t uRecord) = 0;
    // Sends the chosen records of csPath as Send does, on the main window's adapter.
    virtual void SendRecordSelection(const std::string& csPath, const CRecordSelection& selection)
        = 0;
    // The adapter Send selected sends on, and the aim it applies, for the
    // window to show; none and no aim by default.
    virtual std::string SendAdapter() const { return std::string(); }
    virtual SAimPlan SendAim() const { return SAimPlan(); }
};

// The Packets window: the capture as a decoded list, the selected record's
// fields and bytes, a filter, and two ways into the main window.
class CPacketsWnd final : public QWidget {
    Q_OBJECT
public:
    CPacketsWnd(IPacketsOwner& owner, QWidget* pParent = nullptr);
    ~CPacketsWnd() override;

    // Lists csPath (bytes, as the main window holds it). The same file is read
    // again only when its last reading went wrong.
    void ShowCapture(const std::string& csPath);
    // Off while a Send runs, as the main window's controls are.
    void EnableSending(bool bEnable);
    // Asks the owner again where and how Send selected sends: the button's
    // words, and the rows and bytes while "Show aimed" is ticked.
    void UpdateSendTarget();

    void OnUseAsOffset();
    void OnSendSelected();
    void OnApplyFilter();
    // Takes what the reading and the filter have found so far; a timer calls it.
    void Poll();

    CPacketModel& Model() { return m_model; }
    QTableView* Table() const { return m_pTable; }
    QTreeWidget* FieldTree() const { return m_pTree; }
    QPlainTextEdit* HexView() const { return m_pHex; }
    QLineEdit* FilterField() const { return m_pFilter; }
    QPushButton* UseAsOffsetButton() const { return m_pUseAsOffset; }
    QPushButton* SendSelectedButton() const { return m_pSendSelected; }
    QCheckBox* ShowAimedBox() const { return m_pShowAimed; }
    QString StatusLine() const;
    QString NoteLine() const;
    // True once the file is read to its end (or to an error) and any filter is done.
    bool Idle() const;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void BuildWindow();
    void SetColumnWidths();
    void GoToEnd(bool bEnd, bool bExtend);
    // "" or why Send cannot reach uRecord (a capture libpcap stops reading early).
    QString SendLimitFor(uint64_t uRecord) const;
    void ShowRecordDetails();
    void HighlightField();
    void UpdateButtons();
    void UpdateStatus();
    void SetNote(const QString& q, bool bProblem);
    int ActionRow() const;
    bool FilterOn() const;

    IPacketsOwner& m_owner;
    std::unique_ptr<CCaptureLoader> m_pLoader;
    CPacketModel m_model;
    QTimer m_pollTimer;
    QTimer m_filterDelay;
    bool m_bSendingAllowed = true;
    bool m_bFirstRowsShown = false;
    bool m_bModelBound = false; // the model shows the loader's index
    // What the shown rows were decoded with: segment rows read otherwise later.
    uint64_t m_uAssembledShown = 0;
    bool m_bAssemblyDoneShown = false;
    std::string m_csFilter; // the text the loader filters by
    uint64_t m_uDetailsRecord = UINT64_MAX;
    std::vector<uint8_t> m_detailBytes;
    SAimPlan m_aim; // what the rows and bytes show: inactive unless "Show aimed"

    QLineEdit* m_pFilter = nullptr;
    QTableView* m_pTable = nullptr;
    QTreeWidget* m_pTree = nullptr;
    QPlainTextEdit* m_pHex = nullptr;
    QLabel* m_pStatus = nullptr;
    QLabel* m_pNote = nullptr;
    QPushButton* m_pUseAsOffset = nullptr;
    QPushButton* m_pSendSelected = nullptr;
    QPushButton* m_pClose = nullptr;
    QCheckBox* m_pShowAimed = nullptr;
};

// The decoded fields as tree items (under pParent, or at the top of pTree),
// each knowing the bytes it covers, for HighlightFieldBytes.
void AddFieldItems(
    QTreeWidgetItem* pParent, QTreeWidget* pTree, const std::vector<dissect::SField>& fields);
// Marks, in a HexDump of nBytes bytes, the bytes the field item covers.
void HighlightFieldBytes(QPlainTextEdit* pHex, const QTreeWidgetItem* pItem, size_t nBytes);

// "0000  02 76 6d ...  .vm..", 16 bytes a line; the column of byte i is
// HexDumpColumn(i) on line i / 16, every line kHexDumpLine characters long
// with its line feed.
QString HexDump(const std::vector<uint8_t>& bytes);
constexpr int kHexDumpLine = 72;
inline int HexDumpColumn(size_t i)
{
    return 6 + static_cast<int>(i % 16) * 3;
}
inline int HexDumpTextColumn(size_t i)
{
    return 55 + static_cast<int>(i % 16);
}

} // namespace velmora
