#pragma once

#include "judge/Judge.h"
#include "replay/Listen.h"
#include "session/Report.h"

#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTableWidget;
class QTreeWidget;

namespace velmora {

class CRoundTripPlot;

// The results of the last listening Send: one row per request (and per
// answer of a Who-Is or Who-Has), in the command's words, with the selected
// row's answer decoded below. A window of its own, reached from Capture.
class CResultsWnd final : public QWidget {
    Q_OBJECT
public:
    // Round shows only when the Send went in more than one round.
    enum EColumn { Record, Round, Request, Answer, Verdict, RoundTrip, Recorded, kColumns };

    explicit CResultsWnd(QWidget* pParent = nullptr);

    // Shows one listening Send: the capture it came from, what was heard and
    // judged, and the status line's summary.
    // With pFacts, "Save report..." writes the report of that Send.
    void ShowResults(const std::string& csCapture, const SListenResult& listen,
        const judge::SJudgement& judgement, const std::string& csSummary,
        const SReportFacts* pFacts = nullptr);
    bool HasResults() const { return m_bHasResults; }

    void OnSaveAnswers();
    void OnSaveReport();
    void OnApplyFilter();

    QTableWidget* Table() const { return m_pTable; }
    // The non-ok rows by what differs ("N × ..."), largest first, each
    // opening to its rows; a row picked there is picked in the table.
    QTreeWidget* Groups() const { return m_pGroups; }
    // The selected answer beside the one recorded, differing fields first.
    QTableWidget* Comparison() const { return m_pCompare; }
    QTreeWidget* FieldTree() const { return m_pTree; }
    QPlainTextEdit* HexView() const { return m_pHex; }
    QLineEdit* FilterField() const { return m_pFilter; }
    QPushButton* SaveButton() const { return m_pSave; }
    QPushButton* SaveReportButton() const { return m_pSaveReport; }
    CRoundTripPlot* Plot() const { return m_pPlot; }
    QString SummaryLine() const;
    // "PASS: 3 requests: 3 ok" or "FAIL: ...", above the table.
    QString HeadlineText() const;
    QString NoteLine() const;
    // The rows the filter lets through.
    int VisibleRows() const;
    // True when the row is marked as a failure (unanswered or differs).
    static bool Marked(const judge::SJudgeLine& line) { return line.Failed(); }

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;

private:
    void ShowAnswer();
    void ShowComparison(const judge::SJudgeLine& line);
    void ShowGroups();
    void LayOutSplit();
    void HighlightField();

    bool m_bHasResults = false;
    std::string m_csCapture;
    std::vector<judge::SJudgeLine> m_lines;
    bool m_bRounds = false; // the Send went in more than one round
    std::vector<SHeardFrame> m_heard;
    judge::SJudgement m_judgement; // for the report
    SReportFacts m_facts;
    bool m_bFacts = false;
    std::vector<uint8_t> m_detailBytes;
    RecordReader m_readRecorded; // the recorded answers' file, opened at the first comparison

    QLabel* m_pHeadline = nullptr;
    QLabel* m_pSummary = nullptr;
    QLineEdit* m_pFilter = nullptr;
    QTableWidget* m_pTable = nullptr;
    QTreeWidget* m_pTree = nullptr;
    QPlainTextEdit* m_pHex = nullptr;
    QTreeWidget* m_pGroups = nullptr;
    QSplitter* m_pSplit = nullptr; // plot, groups, table, details
    QSplitter* m_pBelow = nullptr; // comparison, details
    bool m_bLaidOut = false; // the splitters shared out at the first show
    QTableWidget* m_pCompare = nullptr;
    QLabel* m_pNote = nullptr;
    QPushButton* m_pSave = nullptr;
    QPushButton* m_pSaveReport = nullptr;
    CRoundTripPlot* m_pPlot = nullptr;
    QPushButton* m_pClose = nullptr;
};

} // namespace velmora
