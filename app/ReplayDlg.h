#pragma once

#include "app/PacketsWnd.h"
#include "app/ResultsWnd.h"
#include "app/ServeWnd.h"
#include "replay/AdapterList.h"
#include "replay/Replay.h"
#include "session/RecordCounter.h"
#include "session/ReplayWords.h"
#include "session/Send.h"
#include "session/Session.h"

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace velmora {

class CInstanceServer;

// The main window's controls by what they are, for tests and tools that
// drive the window.
struct SMainControls {
    QLineEdit* pPath;
    QPushButton* pBrowse;
    QRadioButton* pSingle;
    QRadioButton* pAll;
    QLineEdit* pOffset;
    QComboBox* pAdapters;
    QPushButton* pSend;
    QPushButton* pExit;
    QCheckBox* pAutoUpdate;
    QPushButton* pCheckUpdates;
    QPlainTextEdit* pInfo;
    QLabel* pBanner;
    QLineEdit* pStatus;
};

// The main window.
class CReplayDlg : public QDialog,
                   public IReplayObserver,
                   public IAdapterListView,
                   public IPacketsOwner {
    Q_OBJECT
public:
    explicit CReplayDlg(QWidget* pParent = nullptr);
    ~CReplayDlg() override;

    // Initialises the window (logs, settings, adapters) and runs it modally.
    int DoModal();
    void OnInitDialog();

    // Reads (bSave) or writes the window's values from or to its controls. A
    // failed offset reading shows its message and gives false.
    bool DoDataExchange(bool bSave);

    void OnSend();
    void OnCancel();
    void OnBrowse();
    void OnModeChanged();
    void SaveSettings();
    void OnCheckForUpdates();
    void OnTimer(unsigned nIDEvent);
    void OnBanner();
    void OnAbout();
    void OnHelpPage();
    void OnInstanceQuery();
    // Capture > Packets: lists the capture named in the path field.
    void OnPackets();
    // Capture > Results: the last listening Send's requests and answers.
    void OnResults();
    // Capture > Serve as the captured device: answers clients as the capture's devices did.
    void OnServe();
    // Capture > Send options: the aim and the listening, kept in send-options.ini.
    void OnSendOptions();
    const SSendOptions& SendOptions() const { return m_session.SendOptions(); }

    QWidget* Control(int iId) const;
    SMainControls Controls() const;
    QTimer& Timer1() { return m_timer1; }
    const AppSettings& Settings() const { return m_session.Settings(); }
    const std::string& InformationText() const { return m_csInformation; }
    const std::string& StatusText() const { return m_csStatus; }
    CPacketsWnd* PacketsWindow() const { return m_pPackets; }
    CResultsWnd* ResultsWindow() const { return m_pResults; }
    CServeWnd* ServeWindow() const { return m_pServe; }
    // Beside the status line while a Send runs, hidden otherwise.
    QProgressBar* ProgressBar() const { return m_pProgress; }

    // What a Send does to the window: the inputs go dark (Send turns into
    // Stop), the status text is set and written into the controls, and pending
    // messages are handled.
    virtual void EnableReplayControls(bool bEnable);
    virtual void SetStatusText(const std::string& csText);
    void PumpMessages();

    // IReplayObserver
    void OnStart() override;
    void OnProgress(const SReplayCounts& counts) override;
    bool StopRequested() override { return m_stopRequest != EStop::None; }
    void OnListening(const SListenCounts& counts) override;

    // IAdapterListView
    void AddEntry(const std::string& csText) override;
    void SetCurrentSelection(int iIndex) override;

    // IPacketsOwner
    std::string UseRecordAsOffset(uint64_t uRecord) override;
    void SendRecordSelection(const std::string& csPath, const CRecordSelection& selection) override;
    std::string SendAdapter() const override { return m_session.Settings().NicDevice; }
    SAimPlan SendAim() const override;

public slots:
    void reject() override;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void BuildWindow();
    // Runs one Send (the adapter from the settings) and reports its end.
    // pSelection: the chosen records; else the settings' mode and offset.
    void RunReplay(const CRecordSelection* pSelection, const std::string& csPath);
    void ClearStatusReason();
    // The aim's and the listening's notices at the end of the status line.
    void ShowAimNotice();
    // bSaysWhy: the sentence tells why nothing was sent, and goes with the next Send.
    void ShowStatusSentence(const std::string& csText, bool bSaysWhy);
    void ShowStatus(const std::string& csText); // the whole line, notices included
    void EnsureResultsWindow();
    bool ReadOffset();
    void EndIfClosed();
    void UpdateModeTabStop();

    // Holds the values of the path, mode, offset and update controls.
    CSession m_session;
    QComboBox* m_pAdapterList = nullptr;
    std::string m_csInformation;
    std::string m_csStatus;
    std::string m_csStatusBody; // the status line without the options' notices
    QIcon m_hIcon;

    std::map<int, QWidget*> m_controls;
    QTimer m_timer1;
    int m_iPendingSelection = -1;
    bool m_bStatusSaysWhy = false; // the status line holds why the last Send stopped
    std::string m_csInformationShown;
    QString m_qsPathShown; // what the path field was given for the session's path
    bool m_bReplaying = false;
    bool m_bCloseAfterReplay = false;
    bool m_bOffsetParsed = true; // the offset field held a number, in range or not
    // What a running Send has been asked: nothing, a stop, or a stop because
    // the window is closing.
    enum class EStop { None, Stop, StopAndClose };
    EStop m_stopRequest = EStop::None;
    bool m_bReplayStarted = false; // the running Send has disabled the inputs
    bool m_bWaiting = false; // the running Send has sent its last frame and listens on
    // The Results window gets a listening Send's first kResultsRows lines.
    static constexpr size_t kResultsRows = 100'000;
    CInstanceServer* m_pInstanceServer = nullptr;
    CPacketsWnd* m_pPackets = nullptr; // a child: made on first use, hidden when closed
    CResultsWnd* m_pResults = nullptr; // the same
    CServeWnd* m_pServe = nullptr; // the same
    QProgressBar* m_pProgress = nullptr;
    SProgressPlan m_progressPlan;
    const CSend* m_pSend = nullptr; // the Send under way, counting its capture's records beside it
    SReplayCounts m_lastCounts; // the last progress of the Send under way
    void UpdateProgressBar(const SReplayCounts& counts);
    std::chrono::steady_clock::time_point m_sendStart;
    void ShowProgressBar(bool bShow);
};

} // namespace velmora
