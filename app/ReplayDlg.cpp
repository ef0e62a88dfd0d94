#include "app/ReplayDlg.h"

#include "app/DialogInt.h"

#include "about/AboutBox.h"
#include "app/QtPlatform.h"
#include "app/SendOptionsDlg.h"
#include "app/SingleInstance.h"
#include "log/Log.h"
#include "log/MessageBox.h"
#include "res/DialogTemplate.h"
#include "res/LineBreaks.h"
#include "res/Resources.h"
#include "session/ReplayWords.h"
#include "session/Report.h"
#include "session/SendWords.h"
#include "web/MakerSite.h"
#include "web/UrlOpener.h"
#include "web/WebServices.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>

namespace velmora {

namespace {

    enum : int {
        IDC_SEND = 1,
        IDC_EXIT = 2,
        IDC_PATH = 1000,
        IDC_SINGLE = 1001,
        IDC_ALL = 1002,
        IDC_BROWSE = 1003,
        IDC_OFFSET = 1004,
        IDC_AUTOUPDATE = 1006,
        IDC_CHECKUPDATES = 1007,
        IDC_INFO = 1011,
        IDC_BANNER = 1012,
        IDC_STATUS = 1013,
        IDC_ADAPTERS = 1014,
    };

    constexpr int kOffsetMin = 0;
    constexpr int kOffsetMax = 9999999;
    constexpr int kHourMs = 3600000;

    QString Q(const std::string& cs)
    {
        return QString::fromLocal8Bit(cs.c_str());
    }
    std::string S(const QString& q)
    {
        return q.toLocal8Bit().toStdString();
    }

    // A held Enter or Escape acts once: its repeats must neither stop the Send it
    // started, nor start another or close the window after a stop.
    bool IsRepeatedActionKey(const QKeyEvent& key)
    {
        return key.isAutoRepeat()
            && (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter
                || key.key() == Qt::Key_Escape);
    }

    // File names are bytes. The field shows them decoded the way Qt decodes file
    // names (a byte that is not UTF-8 shows as U+FFFD); the bytes themselves stay
    // in the member, so an unedited field never passes through that decoding.
    QString PathText(const std::string& cs)
    {
        return QFile::decodeName(QByteArray::fromStdString(cs));
    }
    std::string PathBytes(const QString& q)
    {
        return QFile::encodeName(q).toStdString();
    }

    void SetIfChanged(QLineEdit* p, const QString& q)
    {
        if (p->text() != q)
            p->setText(q);
    }

} // namespace

CReplayDlg::CReplayDlg(QWidget* pParent)
    : QDialog(pParent)
    , m_hIcon(AppIcon())
{
    // Until the start-up reads settings.ini the controls show no choice.
    m_session.Settings().Mode = -1;
    m_session.Settings().AutoUpdate = false;
    BuildWindow();
    Control(IDC_SEND)->installEventFilter(this);
    m_timer1.setTimerType(Qt::CoarseTimer);
    connect(&m_timer1, &QTimer::timeout, this, [this] { OnTimer(1); });
    if (InstanceLockHeld())
        m_pInstanceServer = new CInstanceServer([this] { OnInstanceQuery(); }, this);
}

CReplayDlg::~CReplayDlg() = default;

void CReplayDlg::BuildWindow()
{
    SetUpDialogFrame(*this, kMainDialogTemplate);
    // The program's one window: a normal top-level window, so that task bars
    // and window switchers list it. Boxes and About stay transient for it.
    setWindowFlags((windowFlags() & ~Qt::WindowType_Mask) | Qt::Window);
    setFont(QApplication::font());

    // Every menu and item has a mnemonic, shown underlined; the titles read
    // as they always did.
    auto* pMenuBar = new QMenuBar(this);
    QMenu* pMenu = pMenuBar->addMenu(QStringLiteral("&") + QString::fromLatin1(kMainMenuTitle));
    for (const SMenuItem& item : kMainMenuItems) {
        QString csText = QString::fromLatin1(item.szText);
        csText.insert(item.iCommand == ID_APP_EXIT ? 1 : 0, QLatin1Char('&'));
        QAction* pAction = pMenu->addAction(csText);
        pAction->setObjectName(QStringLiteral("menu%1").arg(item.iCommand));
        switch (item.iCommand) {
        case ID_APP_ABOUT:
            connect(pAction, &QAction::triggered, this, &CReplayDlg::OnAbout);
            break;
        case ID_HELP_PAGE:
            connect(pAction, &QAction::triggered, this, &CReplayDlg::OnHelpPage);
            break;
        case ID_APP_EXIT:
            connect(pAction, &QAction::triggered, this, &CReplayDlg::OnCancel);
            break;
        }
    }

    // Menu stays as it is; the packet list has a drop-down of its own.
    QMenu* pCapture = pMenuBar->addMenu(QStringLiteral("&Capture"));
    QAction* pPackets = pCapture->addAction(QStringLiteral("&Packets\u2026"));
    pPackets->setObjectName(QStringLiteral("menuPackets"));
    pPackets->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(pPackets, &QAction::triggered, this, &CReplayDlg::OnPackets);
    // Ctrl+O is Open and Ctrl+K clears to the end of a line in a text field;
    // Ctrl+Shift+K is nobody's standard key.
    QAction* pSendOptions = pCapture->addAction(QStringLiteral("&Send options\u2026"));
    pSendOptions->setObjectName(QStringLiteral("menuSendOptions"));
    pSendOptions->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K));
    connect(pSendOptions, &QAction::triggered, this, &CReplayDlg::OnSendOptions);
    QAction* pResults = pCapture->addAction(QStringLiteral("&Results…"));
    pResults->setObjectName(QStringLiteral("menuResults"));
    pResults->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    connect(pResults, &QAction::triggered, this, &CReplayDlg::OnResults);
    QAction* pServe = pCapture->addAction(QStringLiteral("Ser&ve as the captured device\u2026"));
    pServe->setObjectName(QStringLiteral("menuServe"));
    connect(pServe, &QAction::triggered, this, &CReplayDlg::OnServe);

    // F10 opens the menu bar, as desktop users expect.
    auto* pF10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(pF10, &QShortcut::activated, this, [pMenuBar] {
        pMenuBar->setFocus(Qt::MenuBarFocusReason);
        pMenuBar->setActiveAction(pMenuBar->actions().value(0));
    });

    auto* pClient = new QWidget(this);
    pClient->setObjectName(QStringLiteral("client"));
    m_controls = BuildControls(pClient, kMainDialogTemplate);
    const QSize client = DialogClientSize(font(), kMainDialogTemplate);
    const int iMenuHeight = pMenuBar->sizeHint().height();
    pMenuBar->setGeometry(0, 0, client.width(), iMenuHeight);
    pClient->setGeometry(0, iMenuHeight, client.width(), client.height());
    setFixedSize(client.width(), client.height() + iMenuHeight);

    // The progress bar shares the status line's place: the rest keeps its layout.
    m_pProgress = new QProgressBar(pClient);
    m_pProgress->setObjectName(QStringLiteral("progress"));
    m_pProgress->setTextVisible(true);
    m_pProgress->hide();

    m_pAdapterList = static_cast<QComboBox*>(Control(IDC_ADAPTERS));
    auto* pBanner = static_cast<QLabel*>(Control(IDC_BANNER));
    SetUpBanner(*pBanner, this);

    // Exclusive by hand, so that "none set" can be shown too.
    auto* pSingle = static_cast<QRadioButton*>(Control(IDC_SINGLE));
    auto* pAll = static_cast<QRadioButton*>(Control(IDC_ALL));
    pSingle->setAutoExclusive(false);
    pAll->setAutoExclusive(false);
    connect(pSingle, &QRadioButton::clicked, this, [this, pSingle, pAll] {
        pSingle->setChecked(true);
        pAll->setChecked(false);
        UpdateModeTabStop();
        OnModeChanged();
    });
    connect(pAll, &QRadioButton::clicked, this, [this, pSingle, pAll] {
        pAll->setChecked(true);
        pSingle->setChecked(false);
        UpdateModeTabStop();
        OnModeChanged();
    });
    pSingle->installEventFilter(this);
    pAll->installEventFilter(this);
    Control(IDC_AUTOUPDATE)->installEventFilter(this);

    connect(static_cast<QPushButton*>(Control(IDC_SEND)), &QPushButton::clicked, this,
        &CReplayDlg::OnSend);
    connect(static_cast<QPushButton*>(Control(IDC_EXIT)), &QPushButton::clicked, this,
        &CReplayDlg::OnCancel);
    connect(static_cast<QPushButton*>(Control(IDC_BROWSE)), &QPushButton::clicked, this,
        &CReplayDlg::OnBrowse);
    connect(static_cast<QPushButton*>(Control(IDC_CHECKUPDATES)), &QPushButton::clicked, this,
        &CReplayDlg::OnCheckForUpdates);
    connect(static_cast<QCheckBox*>(Control(IDC_AUTOUPDATE)), &QCheckBox::clicked, this,
        &CReplayDlg::SaveSettings);
    // Only a pick from the list is a change of adapter; typing chooses none.
    // The combo box would take typed text that matches an entry as a pick when
    // editing ends (Enter or leaving the field): cut those links. Enter then
    // goes on to the default button, Send.
    connect(m_pAdapterList, &QComboBox::activated, this, [this] { SaveSettings(); });
    disconnect(m_pAdapterList->lineEdit(), &QLineEdit::editingFinished, m_pAdapterList, nullptr);
    disconnect(m_pAdapterList->lineEdit(), &QLineEdit::returnPressed, m_pAdapterList, nullptr);

    static_cast<QPushButton*>(Control(IDC_SEND))->setFocus();
}

// The radio group is one tab stop: the checked button, or the first when
// neither is; the other still takes the focus by a click.
void CReplayDlg::UpdateModeTabStop()
{
    const bool bAll = static_cast<QRadioButton*>(Control(IDC_ALL))->isChecked();
    Control(IDC_SINGLE)->setFocusPolicy(bAll ? Qt::ClickFocus : Qt::StrongFocus);
    Control(IDC_ALL)->setFocusPolicy(bAll ? Qt::StrongFocus : Qt::ClickFocus);
}

QWidget* CReplayDlg::Control(int iId) const
{
    const auto it = m_controls.find(iId);
    return it == m_controls.end() ? nullptr : it->second;
}

SMainControls CReplayDlg::Controls() const
{
    return SMainControls {
        static_cast<QLineEdit*>(Control(IDC_PATH)),
        static_cast<QPushButton*>(Control(IDC_BROWSE)),
        static_cast<QRadioButton*>(Control(IDC_SINGLE)),
        static_cast<QRadioButton*>(Control(IDC_ALL)),
        static_cast<QLineEdit*>(Control(IDC_OFFSET)),
        static_cast<QComboBox*>(Control(IDC_ADAPTERS)),
        static_cast<QPushButton*>(Control(IDC_SEND)),
        static_cast<QPushButton*>(Control(IDC_EXIT)),
        static_cast<QCheckBox*>(Control(IDC_AUTOUPDATE)),
        static_cast<QPushButton*>(Control(IDC_CHECKUPDATES)),
        static_cast<QPlainTextEdit*>(Control(IDC_INFO)),
        static_cast<QLabel*>(Control(IDC_BANNER)),
        static_cast<QLineEdit*>(Control(IDC_STATUS)),
    };
}

int CReplayDlg::DoModal()
{
    OnInitDialog();
    // exec() would make the window modal, and a modal window without a parent
    // is shown by the desktop as a dialog of a hidden one. Run our own loop
    // instead; it ends with the window (done() emits finished).
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
    show();
    return loop.exec();
}

void CReplayDlg::OnInitDialog()
{
    DoDataExchange(false);
    // No system menu here: the desktop gives applications none, so About is in the menu bar.
    setWindowIcon(m_hIcon);

    m_session.StartUp();

    g_bUpdatePromptShowing = false;
    m_timer1.start(1);

    m_csInformation
        = "Velmora is a utility for rebroadcast captured packets from an ethereal log file. ";
    m_csInformation
        += "The utility can send a single particular packet or an entire set of packets. \r\n";
    m_csInformation += "\r\n";
    m_csInformation += "Directions\r\n";
    m_csInformation += "1) Browse for a Ethereal log file \r\n";
    m_csInformation += "2) Select either to send one single packet at offset X or send the entire "
                       "series of packets. \r\n";
    m_csInformation += "3) Click Send\r\n";
    m_csInformation += "\r\n";
    m_csInformation += "For more information or help please visit our webpage \r\n";
    m_csInformation += "Menu -> Help \r\n";

    m_iPendingSelection = -1;
    if (!FillAdapterList(*this, m_session.Settings().NicDevice))
        MessageAndLogOk("%s", kNoAdaptersText);
    // Adding the first entry makes it current in Qt; keep only what the fill chose.
    m_pAdapterList->setCurrentIndex(m_iPendingSelection);
    if (m_iPendingSelection < 0)
        m_pAdapterList->setEditText(QString());

    DoDataExchange(false);
    OnModeChanged();
    ShowAimNotice();
    static_cast<QPushButton*>(Control(IDC_SEND))->setFocus();
}

void CReplayDlg::OnSendOptions()
{
    if (m_bReplaying)
        return;
    DoDataExchange(true);
    const std::string csAdapter = m_session.Settings().NicDevice;
    SAdapterAddresses addresses;
    std::string csError;
    ReadAdapterAddresses(csAdapter, addresses, csError);
    SSendOptions options = m_session.SendOptions();
    if (!GetSendOptionsDialog().Edit(this, options, csAdapter, addresses))
        return;
    m_session.SendOptions() = options;
    m_session.SaveSendOptions();
    // A notice goes as soon as its option is back at its default.
    ShowAimNotice();
    if (m_pPackets)
        m_pPackets->UpdateSendTarget();
}

SAimPlan CReplayDlg::SendAim() const
{
    const SAimOptions& aim = m_session.SendOptions().aim;
    const std::string& csAdapter = m_session.Settings().NicDevice;
    SAdapterAddresses addresses;
    std::string csError;
    if (aim.eSrcMac == EAimSource::Adapter || aim.eSrcIp == EAimSource::Adapter)
        ReadAdapterAddresses(csAdapter, addresses, csError);
    SAimPlan plan;
    // An adapter without the address asked for sends nothing (Send says why).
    if (!PlanAim(aim, csAdapter, addresses, plan, csError))
        return SAimPlan();
    return plan;
}

// Whenever the aim, the timing or the listening is not today's, the status
// line says so: before a Send, so that nobody sends aimed or paced frames or
// listens by surprise, and after it, beside the result. Notices are always the
// status line's last sentences.
void CReplayDlg::ShowAimNotice()
{
    const SSendOptions& options = m_session.SendOptions();
    std::string csNotice = AimSummary(options.aim);
    // Single Packet sends its one record at once, whatever the pace says.
    const std::string csPace = m_session.Settings().Mode == 1 ? PaceSummary(options.pace) : "";
    if (!csPace.empty())
        csNotice += (csNotice.empty() ? "" : ". ") + csPace;
    const std::string csListen = ListenNotice(options.listen);
    if (!csListen.empty())
        csNotice += (csNotice.empty() ? "" : ". ") + csListen;
    std::string csStatus = m_csStatusBody;
    if (!csNotice.empty())
        csStatus = csStatus.empty() ? csNotice : csStatus + ". " + csNotice;
    if (csStatus != m_csStatus)
        ShowStatus(csStatus);
}

bool CReplayDlg::ReadOffset()
{
    auto* pEdit = static_cast<QLineEdit*>(Control(IDC_OFFSET));
    int iValue = 0;
    const char* szProblem = nullptr;
    char szRange[80];
    if (!ParseDialogInt(S(pEdit->text()), iValue)) {
        szProblem = "Please enter an integer.";
    } else {
        m_session.Settings().Offset = iValue;
        if (iValue < kOffsetMin || iValue > kOffsetMax) {
            std::snprintf(szRange, sizeof szRange, "Please enter an integer between %d and %d.",
                kOffsetMin, kOffsetMax);
            szProblem = szRange;
        }
    }
    m_bOffsetParsed = szProblem == nullptr || szProblem == szRange;
    if (!szProblem)
        return true;
    ShowMessageBox(szProblem, MB_OK);
    pEdit->setFocus();
    pEdit->selectAll();
    return false;
}

bool CReplayDlg::DoDataExchange(bool bSave)
{
    auto* pPath = static_cast<QLineEdit*>(Control(IDC_PATH));
    auto* pSingle = static_cast<QRadioButton*>(Control(IDC_SINGLE));
    auto* pAll = static_cast<QRadioButton*>(Control(IDC_ALL));
    auto* pAuto = static_cast<QCheckBox*>(Control(IDC_AUTOUPDATE));
    auto* pOffset = static_cast<QLineEdit*>(Control(IDC_OFFSET));
    auto* pInfo = static_cast<QPlainTextEdit*>(Control(IDC_INFO));
    auto* pStatus = static_cast<QLineEdit*>(Control(IDC_STATUS));

    AppSettings& values = m_session.Settings();
    if (bSave) {
        // An unchanged field keeps the bytes it was given; edited text is a
        // new name.
        if (pPath->text() != m_qsPathShown) {
            m_session.CapturePath() = PathBytes(pPath->text());
            m_qsPathShown = pPath->text();
        }
        values.Mode = pSingle->isChecked() ? 0 : pAll->isChecked() ? 1 : -1;
        values.AutoUpdate = pAuto->isChecked();
        if (!ReadOffset())
            return false;
        m_csInformation = ToMemberLineBreaks(S(pInfo->toPlainText()));
        m_csStatus = S(pStatus->text());
        return true;
    }

    m_qsPathShown = PathText(m_session.CapturePath());
    SetIfChanged(pPath, m_qsPathShown);
    pSingle->setChecked(values.Mode == 0);
    pAll->setChecked(values.Mode == 1);
    UpdateModeTabStop();
    pAuto->setChecked(values.AutoUpdate);
    SetIfChanged(pOffset, QString::number(values.Offset));
    // Rewriting an unchanged text would throw the reader's scroll position away.
    if (m_csInformation != m_csInformationShown) {
        pInfo->setPlainText(Q(ToWidgetLineBreaks(m_csInformation)));
        m_csInformationShown = m_csInformation;
    }
    if (pStatus->text() != Q(m_csStatus)) {
        pStatus->setText(Q(m_csStatus));
        // A sentence longer than the field shows its start, and whole on hovering.
        pStatus->setCursorPosition(0);
        pStatus->setToolTip(pStatus->text());
    }
    return true;
}

void CReplayDlg::EnsureResultsWindow()
{
    if (m_pResults)
        return;
    m_pResults = new CResultsWnd(this);
    // A window of its own that stays above this one.
    m_pResults->winId();
    if (windowHandle())
        m_pResults->windowHandle()->setTransientParent(windowHandle());
}

void CReplayDlg::OnResults()
{
    EnsureResultsWindow();
    m_pResults->show();
    m_pResults->raise();
    m_pResults->activateWindow();
}

void CReplayDlg::OnServe()
{
    // The path field as it stands, and the adapter chosen.
    DoDataExchange(true);
    if (!m_pServe) {
        m_pServe = new CServeWnd(this);
        m_pServe->winId();
        if (windowHandle())
            m_pServe->windowHandle()->setTransientParent(windowHandle());
    }
    m_pServe->SetCapture(m_session.CapturePath(), m_session.Settings().NicDevice);
    m_pServe->show();
    m_pServe->raise();
    m_pServe->activateWindow();
}

void CReplayDlg::OnPackets()
{
    // The path field as it stands, typed or browsed.
    DoDataExchange(true);
    if (!m_pPackets) {
        m_pPackets = new CPacketsWnd(*this, this);
        // A window of its own that stays above this one.
        m_pPackets->winId();
        if (windowHandle())
            m_pPackets->windowHandle()->setTransientParent(windowHandle());
    }
    m_pPackets->ShowCapture(m_session.CapturePath());
    m_pPackets->EnableSending(!m_bReplaying);
    m_pPackets->UpdateSendTarget();
    m_pPackets->show();
    m_pPackets->raise();
    m_pPackets->activateWindow();
}

std::string CReplayDlg::UseRecordAsOffset(uint64_t uRecord)
{
    if (m_bReplaying)
        return "A Send is running.";
    if (uRecord > static_cast<uint64_t>(kOffsetMax))
        return "Record " + std::to_string(uRecord) + " is beyond the offset field's range (0 to "
            + std::to_string(kOffsetMax) + "): use Send selected for it.";
    // What the user would do: type the number, then click Single Packet, whose
    // handler saves the settings.
    static_cast<QLineEdit*>(Control(IDC_OFFSET))->setText(QString::number(uRecord));
    static_cast<QRadioButton*>(Control(IDC_SINGLE))->click();
    return "";
}

void CReplayDlg::SendRecordSelection(const std::string& csPath, const CRecordSelection& selection)
{
    if (m_bReplaying)
        return;
    // The pumps read the fields back, as during Send: an offset the field
    // cannot give is reported now, once, and nothing is sent.
    if (!DoDataExchange(true))
        return;
    RunReplay(&selection, csPath);
}

void CReplayDlg::RunReplay(const CRecordSelection* pSelection, const std::string& csPath)
{
    m_bReplaying = true;
    m_bReplayStarted = false;
    m_stopRequest = EStop::None;
    ClearStatusReason();
    const AppSettings& values = m_session.Settings();
    const SReplayRequest request = MakeReplayRequest(
        csPath, values.Mode, values.Offset, pSelection, values.NicDevice, m_session.SendOptions());
    m_bWaiting = false;
    // The records of the whole file are counted beside the Send, so that a
    // large capture's first frame waits for nothing; the bar is busy until
    // the count is in.
    m_progressPlan = ProgressPlanOf(request, 0);
    m_lastCounts = SReplayCounts();
    CSend send(request, SSendOutputs(), kResultsRows);
    send.CountRecords(true);
    m_pSend = &send;
    // A default Send never looks at checksums: the capture is read apart
    // from it, beside it, for the sentence after.
    CWrongChecksumCounter checksums;
    checksums.Start(request);
    m_sendStart = std::chrono::steady_clock::now();
    ShowProgressBar(true);
    const SReplayResult& result = send.Run(*this);
    m_pSend = nullptr;
    ShowProgressBar(false);
    if (m_bReplayStarted)
        EnableReplayControls(true);
    // A stop during the wait after the last frame cut the listening short,
    // not the sending: every frame went.
    const bool bWaitCut = m_bWaiting && result.bStopped;
    m_bWaiting = false;
    SReplayResult sent = result;
    sent.bStopped = sent.bStopped && !bWaitCut;
    std::string csStatus = ReplayStatusText(sent, request);
    // The window's Stop is the command's Ctrl-C.
    const SSendOutcome outcome = send.Finish(m_stopRequest != EStop::None ? SIGINT : 0);
    std::string csListened;
    if (outcome.bListened) {
        csListened = outcome.csSummary;
        if (outcome.nNotKept > 0)
            csListened += "; " + std::to_string(outcome.nNotKept) + " more lines not shown";
        if (bWaitCut)
            csListened += " (listening stopped early)";
        csStatus = csStatus.empty() ? csListened : csStatus + ". " + csListened;
    }
    if (!result.NotSent()) {
        std::string csChecksums = ChecksumsMendedText(result, request);
        uint64_t uWrong = 0;
        if (!result.bStopped && checksums.Wait(uWrong))
            csChecksums = WrongChecksumsText(uWrong);
        // After the count the progress left, or the Send's own sentence.
        const std::string& csBefore = csStatus.empty() ? m_csStatusBody : csStatus;
        if (!csChecksums.empty())
            csStatus = csBefore.empty() ? csChecksums : csBefore + ". " + csChecksums;
    }
    checksums.Stop();
    if (!csStatus.empty())
        ShowStatusSentence(csStatus, SaysWhyNothingWent(sent, request));
    ShowAimNotice();
    // The results stand beside the window before the box asks for OK; not
    // when the window is closing.
    if (outcome.bListened && !m_bCloseAfterReplay) {
        EnsureResultsWindow();
        SListenResult shown = result.listen;
        shown.heard = outcome.heard;
        SReportFacts facts = outcome.facts;
        facts.csSummary = csListened;
        facts.csExitStatus = "as velmora-replay would exit: " + ExitStatusWords(outcome.iExit);
        m_pResults->ShowResults(request.csPath, shown, outcome.judgement, csListened, &facts);
        m_pResults->show();
        m_pResults->raise();
    }
    // A close asked for during the Send still gets the count: the box is
    // answered first, then the window goes.
    if (!result.NotSent())
        MessageAndLogOk("%s", SentBoxText(result.iCount).c_str());
    m_bReplaying = false;
    m_stopRequest = EStop::None;
    EndIfClosed();
}

// A close asked for during a Send saved and said goodbye when it came; the
// window goes once the Send is over.
void CReplayDlg::EndIfClosed()
{
    if (!m_bCloseAfterReplay)
        return;
    m_bCloseAfterReplay = false;
    QDialog::reject();
}

// Only the status line is written: the other fields may hold typing that the
// user has yet to correct, and the next Send must read it as typed.
void CReplayDlg::ShowStatusSentence(const std::string& csText, bool bSaysWhy)
{
    m_csStatusBody = csText;
    m_bStatusSaysWhy = bSaysWhy;
    ShowStatus(csText);
}

void CReplayDlg::ShowStatus(const std::string& csText)
{
    m_csStatus = csText;
    auto* pStatus = static_cast<QLineEdit*>(Control(IDC_STATUS));
    pStatus->setText(Q(csText));
    // A sentence longer than the field shows its start, and whole on hovering.
    pStatus->setCursorPosition(0);
    pStatus->setToolTip(pStatus->text());
}

// The reason the last Send gave goes with the next Send; a count stays.
// Only the status line is written: the other fields may hold typing that
// the Send has yet to read.
void CReplayDlg::ClearStatusReason()
{
    if (!m_bStatusSaysWhy)
        return;
    m_bStatusSaysWhy = false;
    m_csStatusBody.clear();
    m_csStatus.clear();
    auto* pStatus = static_cast<QLineEdit*>(Control(IDC_STATUS));
    pStatus->clear();
    pStatus->setToolTip(QString());
}

void CReplayDlg::OnSend()
{
    // During a replay the button reads Stop; a close asked for already stays a close.
    if (m_bReplaying) {
        if (m_stopRequest == EStop::None)
            m_stopRequest = EStop::Stop;
        return;
    }
    m_bReplaying = true;
    m_stopRequest = EStop::None;
    ClearStatusReason();
    // The offset's check shows its message. All packets goes on with the
    // values as they stand, and so does a single packet whose number is out
    // of range (a negative one sends nothing); a field that holds no number
    // sends nothing rather than the last good offset.
    const bool bOffsetOk = DoDataExchange(true);
    // No radio button set (-1) counts as Single Packet.
    const bool bSingle = m_session.Settings().Mode != 1;
    // A close asked for while the offset's box was up sends nothing.
    if (m_bCloseAfterReplay) {
        m_bReplaying = false;
        EndIfClosed();
        return;
    }
    if (!bOffsetOk && !m_bOffsetParsed && bSingle) {
        ShowStatusSentence(OffsetNotValidText(), true);
        ShowAimNotice();
        m_bReplaying = false;
        EndIfClosed();
        return;
    }
    RunReplay(nullptr, m_session.CapturePath());
}

void CReplayDlg::reject()
{
    OnCancel();
}

void CReplayDlg::OnCancel()
{
    // A close during a replay saves and writes its shutdown record at once,
    // then stops the Send after the frame in flight; the window goes once the
    // box has been answered.
    if (m_bReplaying) {
        if (m_bCloseAfterReplay)
            return;
        m_bCloseAfterReplay = true;
        SaveSettings();
        m_session.ShutDown();
        m_stopRequest = EStop::StopAndClose;
        return;
    }
    SaveSettings();
    m_session.ShutDown();
    QDialog::reject();
}

void CReplayDlg::OnBrowse()
{
    const std::string csPath = GetFileDialog().GetOpenFileName(this);
    if (!csPath.empty() && csPath.rfind('/') != std::string::npos)
        m_session.CapturePath() = csPath;
    DoDataExchange(false);
    // An open packet list follows the file browsed to.
    if (m_pPackets && m_pPackets->isVisible())
        m_pPackets->ShowCapture(m_session.CapturePath());
}

void CReplayDlg::OnModeChanged()
{
    SaveSettings();
    Control(IDC_OFFSET)->setEnabled(m_session.Settings().Mode != 1);
    ShowAimNotice();
}

void CReplayDlg::SaveSettings()
{
    DoDataExchange(true);
    const std::string csAdapterBefore = m_session.Settings().NicDevice;
    if (const auto name = AdapterNameByIndex(m_pAdapterList->currentIndex()))
        m_session.Settings().NicDevice = *name;
    m_session.Save();
    // The Packets window's Send names the adapter, and "adapter" aims by it.
    if (m_pPackets && m_session.Settings().NicDevice != csAdapterBefore)
        m_pPackets->UpdateSendTarget();
}

void CReplayDlg::OnCheckForUpdates()
{
    RunManualVersionCheck();
}

void CReplayDlg::OnTimer(unsigned nIDEvent)
{
    if (nIDEvent != 1)
        return;
    m_timer1.start(kHourMs);
    if (m_session.Settings().AutoUpdate)
        RunAutomaticVersionCheck();
}

void CReplayDlg::OnBanner()
{
    OpenReferralFromBanner();
}

void CReplayDlg::OnAbout()
{
    RunAboutBox(this);
}

void CReplayDlg::OnHelpPage()
{
    OpenUrl(HelpPageUrl());
}

void CReplayDlg::OnInstanceQuery()
{
    raise();
    activateWindow();
}

bool CReplayDlg::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    const bool bRadio = pWatched == Control(IDC_SINGLE) || pWatched == Control(IDC_ALL);
    if ((bRadio || pWatched == Control(IDC_AUTOUPDATE)) && pEvent->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(pEvent)->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down: {
            if (!bRadio)
                break;
            // Two buttons: every arrow moves the choice to the other one, as
            // a click on it would.
            auto* pOther = static_cast<QRadioButton*>(
                Control(pWatched == Control(IDC_SINGLE) ? IDC_ALL : IDC_SINGLE));
            pOther->setFocus(Qt::OtherFocusReason);
            pOther->click();
            return true;
        }
        default:
            break;
        }
    }
    if (pWatched == Control(IDC_BANNER) && pEvent->type() == QEvent::MouseButtonPress) {
        auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (pMouse->button() == Qt::LeftButton
            && Control(IDC_BANNER)->rect().contains(pMouse->position().toPoint())) {
            OnBanner();
            return true;
        }
    }
    if (pWatched == Control(IDC_SEND) && pEvent->type() == QEvent::KeyPress
        && IsRepeatedActionKey(*static_cast<QKeyEvent*>(pEvent)))
        return true;
    return QDialog::eventFilter(pWatched, pEvent);
}

void CReplayDlg::keyPressEvent(QKeyEvent* pEvent)
{
    if (IsRepeatedActionKey(*pEvent)) {
        pEvent->accept();
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

void CReplayDlg::OnStart()
{
    m_bReplayStarted = true;
    EnableReplayControls(false);
}

void CReplayDlg::ShowProgressBar(bool bShow)
{
    auto* pStatus = static_cast<QLineEdit*>(Control(IDC_STATUS));
    const QRect whole = pStatus->geometry();
    if (bShow && !m_pProgress->isVisible()) {
        // The status line gives its right part to the bar while the Send runs.
        const int iBar = whole.width() * 3 / 5;
        pStatus->setGeometry(whole.x(), whole.y(), whole.width() - iBar - 4, whole.height());
        m_pProgress->setGeometry(whole.right() - iBar + 1, whole.y(), iBar, whole.height());
        const uint64_t uTotal = m_progressPlan.llRounds > 0
            ? m_progressPlan.uPerRound * static_cast<uint64_t>(m_progressPlan.llRounds)
            : 0;
        // An unknown total shows a busy bar.
        m_pProgress->setRange(0, static_cast<int>(std::min<uint64_t>(uTotal, INT_MAX)));
        m_pProgress->setValue(0);
        m_pProgress->setFormat(QString::fromStdString(ProgressLine(m_progressPlan, {}, 0)));
        m_pProgress->show();
    } else if (!bShow && m_pProgress->isVisible()) {
        m_pProgress->hide();
        pStatus->setGeometry(
            whole.x(), whole.y(), m_pProgress->geometry().right() - whole.x() + 1, whole.height());
    }
}

// The bar follows the count, and the total once the counter has it.
void CReplayDlg::UpdateProgressBar(const SReplayCounts& counts)
{
    if (!m_pProgress->isVisible())
        return;
    if (m_pSend && m_progressPlan.uPerRound == 0) {
        const uint64_t uRecords = m_pSend->Records();
        if (uRecords > 0) {
            m_progressPlan.uPerRound = uRecords;
            const uint64_t uTotal = m_progressPlan.llRounds > 0
                ? uRecords * static_cast<uint64_t>(m_progressPlan.llRounds)
                : 0;
            m_pProgress->setRange(0, static_cast<int>(std::min<uint64_t>(uTotal, INT_MAX)));
        }
    }
    if (m_pProgress->maximum() > 0)
        m_pProgress->setValue(std::min(counts.iHandled, m_pProgress->maximum()));
    m_pProgress->setFormat(QString::fromStdString(ProgressLine(m_progressPlan, counts, 0)));
}

void CReplayDlg::OnProgress(const SReplayCounts& counts)
{
    m_lastCounts = counts;
    UpdateProgressBar(counts);
    SetStatusText(ProgressText(counts));
    PumpMessages();
}

void CReplayDlg::OnListening(const SListenCounts& counts)
{
    // A total counted after the last frame still reaches the bar.
    if (m_progressPlan.uPerRound == 0)
        UpdateProgressBar(m_lastCounts);
    m_bWaiting = true;
    SetStatusText(ListeningText(counts));
    PumpMessages();
}

void CReplayDlg::EnableReplayControls(bool bEnable)
{
    // Send stays enabled as the way to stop the replay, and takes the focus
    // (the field that had it may be going dark), so Enter and Space stop too.
    for (int iId : { IDC_PATH, IDC_BROWSE, IDC_SINGLE, IDC_ALL, IDC_OFFSET, IDC_ADAPTERS })
        Control(iId)->setEnabled(bEnable);
    auto* pSend = static_cast<QPushButton*>(Control(IDC_SEND));
    pSend->setText(bEnable ? QStringLiteral("Send") : QStringLiteral("Stop"));
    pSend->setEnabled(true);
    if (!bEnable)
        pSend->setFocus();
    if (m_pPackets)
        m_pPackets->EnableSending(bEnable);
    ClearUpperVectorState();
}

void CReplayDlg::SetStatusText(const std::string& csText)
{
    m_csStatusBody = csText;
    m_csStatus = csText;
    DoDataExchange(false);
    ClearUpperVectorState();
}

void CReplayDlg::PumpMessages()
{
    DoDataExchange(true);
    // Paints what is invalid (the status line) and handles what is pending;
    // invalidating the whole window here would repaint all of it every time.
    QCoreApplication::processEvents();
    ClearUpperVectorState();
}

void CReplayDlg::AddEntry(const std::string& csText)
{
    const QSignalBlocker block(m_pAdapterList);
    m_pAdapterList->addItem(Q(csText));
}

void CReplayDlg::SetCurrentSelection(int iIndex)
{
    m_iPendingSelection = iIndex;
    const QSignalBlocker block(m_pAdapterList);
    m_pAdapterList->setCurrentIndex(iIndex);
}

} // namespace velmora
