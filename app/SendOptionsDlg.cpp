#include "app/SendOptionsDlg.h"

#include "session/CompareRules.h"
#include "session/SendWords.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace velmora {

namespace {

    // The places of the source combo boxes' entries, as EAimSource has them.
    int SourceIndex(EAimSource e)
    {
        return static_cast<int>(e);
    }
    EAimSource SourceAt(int i)
    {
        return i == 1 ? EAimSource::Adapter : i == 2 ? EAimSource::Given : EAimSource::AsCaptured;
    }

    std::string Text(const QLineEdit* p)
    {
        return p->text().trimmed().toStdString();
    }

    // Blank: the captured port. Else 1-65535.
    bool ReadPort(const QLineEdit* p, uint16_t& uPort)
    {
        const std::string cs = Text(p);
        uPort = 0;
        if (cs.empty())
            return true;
        CIpv4Address unused;
        return ParseIpv4Endpoint("0.0.0.0:" + cs, unused, uPort);
    }

    QLineEdit* AddressEdit(QWidget* pParent, const char* szName, const char* szPlaceholder)
    {
        auto* p = new QLineEdit(pParent);
        p->setObjectName(QString::fromLatin1(szName));
        p->setPlaceholderText(QString::fromLatin1(szPlaceholder));
        return p;
    }

    QLineEdit* PortEdit(QWidget* pParent, const char* szName)
    {
        QLineEdit* p = AddressEdit(pParent, szName, "as captured");
        p->setMaxLength(5);
        p->setFixedWidth(p->fontMetrics().horizontalAdvance(QStringLiteral("as captured__")));
        return p;
    }

    QWidget* Row(QWidget* pParent, std::initializer_list<QWidget*> widgets)
    {
        auto* pRow = new QWidget(pParent);
        auto* pLayout = new QHBoxLayout(pRow);
        pLayout->setContentsMargins(0, 0, 0, 0);
        for (QWidget* p : widgets)
            pLayout->addWidget(p);
        return pRow;
    }

} // namespace

CSendOptionsDlg::CSendOptionsDlg(const SSendOptions& options, const std::string& csAdapter,
    const SAdapterAddresses& adapter, QWidget* pParent)
    : QDialog(pParent)
{
    setObjectName(QStringLiteral("sendOptions"));
    setWindowTitle(QStringLiteral("Send options"));
    auto* pLayout = new QVBoxLayout(this);
    // The groups scroll on a screen too short for them all, rather than be
    // squeezed until their notes and the device table are cut.
    m_pScroll = new QScrollArea(this);
    m_pScroll->setObjectName(QStringLiteral("groups"));
    m_pScroll->setFrameShape(QFrame::NoFrame);
    m_pScroll->setWidgetResizable(true);
    m_pScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* pGroups = new QWidget(m_pScroll);
    m_pGroups = new QVBoxLayout(pGroups);
    m_pGroups->setContentsMargins(0, 0, 0, 0);
    // One line per group.
    m_pGroups->addWidget(BuildAimGroup(csAdapter, adapter));
    m_pGroups->addWidget(BuildTimingGroup());
    m_pGroups->addWidget(BuildListenGroup());
    m_pScroll->setWidget(pGroups);
    pLayout->addWidget(m_pScroll);

    m_pProblem = new QLabel(this);
    m_pProblem->setObjectName(QStringLiteral("problem"));
    m_pProblem->setWordWrap(true);
    pLayout->addWidget(m_pProblem);
    m_pButtons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
    m_pButtons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ok"));
    m_pButtons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
    m_pButtons->button(QDialogButtonBox::RestoreDefaults)
        ->setObjectName(QStringLiteral("defaults"));
    pLayout->addWidget(m_pButtons);
    connect(m_pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pButtons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
        &CSendOptionsDlg::OnDefaults);
    ShowOptions(options);
    FitToScreen();
}

QGroupBox* CSendOptionsDlg::BuildAimGroup(
    const std::string& csAdapter, const SAdapterAddresses& adapter)
{
    auto* pGroup = new QGroupBox(QStringLiteral("Aim at the device under test"), this);
    pGroup->setObjectName(QStringLiteral("aimGroup"));
    auto* pForm = new QFormLayout(pGroup);

    m_pDstMacOn = new QCheckBox(QStringLiteral("&Destination MAC"), pGroup);
    m_pDstMacOn->setObjectName(QStringLiteral("aimDstMacOn"));
    m_pDstMac = AddressEdit(pGroup, "aimDstMac", "e.g. 02:00:00:00:00:2a");
    pForm->addRow(m_pDstMacOn, m_pDstMac);

    m_pAlsoBroadcasts = new QCheckBox(
        QStringLiteral("Also &broadcasts and multicasts (else they keep their destination)"),
        pGroup);
    m_pAlsoBroadcasts->setObjectName(QStringLiteral("aimAlsoBroadcasts"));
    pForm->addRow(QString(), m_pAlsoBroadcasts);

    const QString qsAdapter = QString::fromStdString(csAdapter.empty() ? "none chosen" : csAdapter);
    const QString qsAdapterMac = adapter.bHasMac
        ? QStringLiteral("The adapter's own (%1: %2)")
              .arg(qsAdapter, QString::fromStdString(FormatMac(adapter.mac)))
        : QStringLiteral("The adapter's own (%1 has none)").arg(qsAdapter);
    m_pSrcMacFrom = new QComboBox(pGroup);
    m_pSrcMacFrom->setObjectName(QStringLiteral("aimSrcMacFrom"));
    m_pSrcMacFrom->addItems(
        { QStringLiteral("As captured"), qsAdapterMac, QStringLiteral("This one:") });
    m_pSrcMac = AddressEdit(pGroup, "aimSrcMac", "e.g. 02:00:00:00:00:01");
    auto* pSrcMacLabel = new QLabel(QStringLiteral("&Source MAC"), pGroup);
    pSrcMacLabel->setBuddy(m_pSrcMacFrom);
    pForm->addRow(pSrcMacLabel, Row(pGroup, { m_pSrcMacFrom, m_pSrcMac }));

    m_pDstIpOn = new QCheckBox(QStringLiteral("BACnet/&IP destination"), pGroup);
    m_pDstIpOn->setObjectName(QStringLiteral("aimDstIpOn"));
    m_pDstIp = AddressEdit(pGroup, "aimDstIp", "e.g. 192.168.1.20");
    m_pDstPort = PortEdit(pGroup, "aimDstPort");
    pForm->addRow(m_pDstIpOn,
        Row(pGroup, { m_pDstIp, new QLabel(QStringLiteral("port"), pGroup), m_pDstPort }));

    QString qsAdapterIp;
    if (adapter.ipv4.empty()) {
        qsAdapterIp = QStringLiteral("The adapter's own (%1 has none)").arg(qsAdapter);
    } else {
        qsAdapterIp = QStringLiteral("The adapter's own (%1: %2%3)")
                          .arg(qsAdapter, QString::fromStdString(FormatIpv4(adapter.ipv4.front())),
                              adapter.ipv4.size() > 1 ? QStringLiteral(", its first") : QString());
    }
    m_pSrcIpFrom = new QComboBox(pGroup);
    m_pSrcIpFrom->setObjectName(QStringLiteral("aimSrcIpFrom"));
    m_pSrcIpFrom->addItems(
        { QStringLiteral("As captured"), qsAdapterIp, QStringLiteral("This one:") });
    m_pSrcIp = AddressEdit(pGroup, "aimSrcIp", "e.g. 192.168.1.5");
    m_pSrcPort = PortEdit(pGroup, "aimSrcPort");
    auto* pSrcIpLabel = new QLabel(QStringLiteral("BACnet/IP s&ource"), pGroup);
    pSrcIpLabel->setBuddy(m_pSrcIpFrom);
    pForm->addRow(pSrcIpLabel,
        Row(pGroup,
            { m_pSrcIpFrom, m_pSrcIp, new QLabel(QStringLiteral("port"), pGroup), m_pSrcPort }));

    m_pRoute = new QComboBox(pGroup);
    m_pRoute->setObjectName(QStringLiteral("aimRoute"));
    m_pRoute->addItems(
        { QStringLiteral("As captured"), QStringLiteral("Direct: the device is on this network"),
            QStringLiteral("Through the bench router:") });
    m_pRouteTo = AddressEdit(pGroup, "aimRouteTo", "NET:ADDR, e.g. 5:0x1f");
    auto* pRouteLabel = new QLabel(QStringLiteral("Requests' ro&ute"), pGroup);
    pRouteLabel->setBuddy(m_pRoute);
    pForm->addRow(pRouteLabel, Row(pGroup, { m_pRoute, m_pRouteTo }));

    // One Who-Is on the chosen adapter; the device that answers fills the aim.
    m_csAdapter = csAdapter;
    m_pDiscover = new QPushButton(QStringLiteral("Dis&cover\u2026"), pGroup);
    m_pDiscover->setObjectName(QStringLiteral("aimDiscover"));
    m_pDiscover->setEnabled(!csAdapter.empty());
    m_pDiscover->setToolTip(
        QStringLiteral("Send one Who-Is (a global broadcast) on the chosen adapter and fill the "
                       "destination, source and route from the device that answers"));
    m_pDiscovered = new QLabel(pGroup);
    m_pDiscovered->setObjectName(QStringLiteral("aimDiscovered"));
    m_pDiscovered->setWordWrap(true);
    pForm->addRow(QString(), Row(pGroup, { m_pDiscover, m_pDiscovered }));
    connect(m_pDiscover, &QPushButton::clicked, this, &CSendOptionsDlg::OnDiscover);

    // A few rows are plenty: a capture names one device, or a handful.
    m_pDevices = new QTableWidget(4, 2, pGroup);
    m_pDevices->setObjectName(QStringLiteral("aimDevices"));
    m_pDevices->setHorizontalHeaderLabels(
        { QStringLiteral("Captured device"), QStringLiteral("Bench device") });
    m_pDevices->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_pDevices->verticalHeader()->hide();
    m_pDevices->setTabKeyNavigation(false); // Tab leaves the table; arrows move inside
    m_pDevices->setMaximumHeight(
        m_pDevices->horizontalHeader()->sizeHint().height() + 4 * m_pDevices->rowHeight(0) + 4);
    for (int iRow = 0; iRow < m_pDevices->rowCount(); ++iRow)
        for (int iCol = 0; iCol < 2; ++iCol)
            m_pDevices->setItem(iRow, iCol, new QTableWidgetItem());
    auto* pDevicesLabel = new QLabel(QStringLiteral("De&vice instances"), pGroup);
    pDevicesLabel->setBuddy(m_pDevices);
    pForm->addRow(pDevicesLabel, m_pDevices);

    auto* pNote = new QLabel(
        QStringLiteral("Only BACnet frames are aimed; others go as captured. Requests keep their "
                       "NPDU destination (DNET/DADR) unless a route is chosen; the route and the "
                       "device instances change requests only: answers and Forwarded-NPDUs stay "
                       "as captured, and the judge reads the bench device's answers as the "
                       "captured device's. Checksums are kept right; only a route or new Who-Is "
                       "limits change a frame's length."),
        pGroup);
    pNote->setObjectName(QStringLiteral("aimNote"));
    pNote->setWordWrap(true);
    pForm->addRow(pNote);

    for (QCheckBox* p : { m_pDstMacOn, m_pAlsoBroadcasts, m_pDstIpOn })
        connect(p, &QCheckBox::toggled, this, &CSendOptionsDlg::OnChanged);
    for (QComboBox* p : { m_pSrcMacFrom, m_pSrcIpFrom, m_pRoute })
        connect(p, &QComboBox::currentIndexChanged, this, &CSendOptionsDlg::OnChanged);
    connect(m_pDevices, &QTableWidget::itemChanged, this, &CSendOptionsDlg::OnChanged);
    for (QLineEdit* p :
        { m_pDstMac, m_pSrcMac, m_pDstIp, m_pDstPort, m_pSrcIp, m_pSrcPort, m_pRouteTo })
        connect(p, &QLineEdit::textChanged, this, &CSendOptionsDlg::OnChanged);
    return pGroup;
}

QGroupBox* CSendOptionsDlg::BuildTimingGroup()
{
    auto* pGroup = new QGroupBox(QStringLiteral("Timing"), this);
    pGroup->setObjectName(QStringLiteral("timingGroup"));
    auto* pForm = new QFormLayout(pGroup);

    m_pPace = new QComboBox(pGroup);
    m_pPace->setObjectName(QStringLiteral("timingPace"));
    // In EPace's order.
    m_pPace->addItems({ QStringLiteral("Back to back"), QStringLiteral("As captured \u00d7"),
        QStringLiteral("Packets per second:"), QStringLiteral("Megabits per second:") });
    m_pPaceValue = new QLineEdit(pGroup);
    m_pPaceValue->setObjectName(QStringLiteral("timingPaceValue"));
    m_pPaceUnit = new QLabel(pGroup);
    auto* pPaceLabel = new QLabel(QStringLiteral("&Pace"), pGroup);
    pPaceLabel->setBuddy(m_pPace);
    pForm->addRow(pPaceLabel, Row(pGroup, { m_pPace, m_pPaceValue, m_pPaceUnit }));

    m_pRepeat = new QComboBox(pGroup);
    m_pRepeat->setObjectName(QStringLiteral("timingRepeat"));
    m_pRepeat->addItems({ QStringLiteral("This many times:"), QStringLiteral("Until stopped") });
    m_pRounds = new QLineEdit(pGroup);
    m_pRounds->setObjectName(QStringLiteral("timingRounds"));
    m_pPauseMs = new QLineEdit(pGroup);
    m_pPauseMs->setObjectName(QStringLiteral("timingPauseMs"));
    auto* pRepeatLabel = new QLabel(QStringLiteral("&Repeat"), pGroup);
    pRepeatLabel->setBuddy(m_pRepeat);
    auto* pPauseLabel = new QLabel(QStringLiteral("p&ause between rounds"), pGroup);
    pPauseLabel->setBuddy(m_pPauseMs);
    pForm->addRow(pRepeatLabel,
        Row(pGroup,
            { m_pRepeat, m_pRounds, pPauseLabel, m_pPauseMs,
                new QLabel(QStringLiteral("ms"), pGroup) }));

    m_pDurationOn = new QCheckBox(QStringLiteral("S&top after"), pGroup);
    m_pDurationOn->setObjectName(QStringLiteral("timingDurationOn"));
    m_pDuration = new QLineEdit(pGroup);
    m_pDuration->setObjectName(QStringLiteral("timingDuration"));
    m_pDuration->setPlaceholderText(QStringLiteral("e.g. 60"));
    pForm->addRow(
        m_pDurationOn, Row(pGroup, { m_pDuration, new QLabel(QStringLiteral("seconds"), pGroup) }));

    auto* pNote = new QLabel(QStringLiteral("Times count from the start of each round, so they do "
                                            "not drift. Send Single Packet ignores the timing."),
        pGroup);
    pNote->setObjectName(QStringLiteral("timingNote"));
    pNote->setWordWrap(true);
    pForm->addRow(pNote);

    // Numbers need no full line; the rows end in a stretch.
    const int iWidth
        = m_pPaceValue->fontMetrics().horizontalAdvance(QStringLiteral("100000000.000__"));
    for (QLineEdit* p : { m_pPaceValue, m_pRounds, m_pPauseMs, m_pDuration }) {
        p->setFixedWidth(iWidth);
        static_cast<QHBoxLayout*>(p->parentWidget()->layout())->addStretch();
    }
    connect(m_pPace, &QComboBox::currentIndexChanged, this, &CSendOptionsDlg::OnTimingChanged);
    connect(m_pRepeat, &QComboBox::currentIndexChanged, this, &CSendOptionsDlg::OnTimingChanged);
    connect(m_pDurationOn, &QCheckBox::toggled, this, &CSendOptionsDlg::OnTimingChanged);
    for (QLineEdit* p : { m_pPaceValue, m_pRounds, m_pPauseMs, m_pDuration })
        connect(p, &QLineEdit::textChanged, this, &CSendOptionsDlg::OnChanged);
    return pGroup;
}

void CSendOptionsDlg::ShowTiming(const SPaceOptions& pace)
{
    m_aqsPaceValues[0].clear();
    m_aqsPaceValues[1] = QString::fromStdString(
        FormatPaceNumber(pace.ePace == EPace::Captured ? pace.dMultiplier : 1));
    for (int i : { 2, 3 })
        m_aqsPaceValues[i] = static_cast<int>(pace.ePace) == i
            ? QString::fromStdString(FormatPaceNumber(pace.dRate))
            : QString();
    m_iPaceShown = static_cast<int>(pace.ePace);
    {
        const QSignalBlocker block(m_pPace);
        m_pPace->setCurrentIndex(m_iPaceShown);
    }
    m_pPaceValue->setText(m_aqsPaceValues[m_iPaceShown]);
    m_pRepeat->setCurrentIndex(pace.llLoops == 0 ? 1 : 0);
    m_pRounds->setText(QString::number(pace.llLoops == 0 ? 1 : pace.llLoops));
    m_pPauseMs->setText(QString::number(pace.llLoopPauseMs));
    m_pDurationOn->setChecked(pace.dDurationSeconds > 0);
    m_pDuration->setText(pace.dDurationSeconds > 0
            ? QString::fromStdString(FormatPaceNumber(pace.dDurationSeconds))
            : QString());
    OnTimingChanged();
}

std::string CSendOptionsDlg::ReadTiming(SPaceOptions& pace) const
{
    pace = SPaceOptions();
    std::string csProblem;
    const auto problem = [&](const char* sz) {
        if (csProblem.empty())
            csProblem = sz;
    };
    double d = 0;
    const int iPace = m_pPace->currentIndex();
    const bool bValue = ParsePaceNumber(Text(m_pPaceValue), d);
    std::string csIgnored;
    if (iPace == 1) {
        SPaceOptions probe;
        probe.ePace = EPace::Captured;
        probe.dMultiplier = d;
        if (bValue && CheckPaceOptions(probe, csIgnored)) {
            pace.ePace = EPace::Captured;
            pace.dMultiplier = d;
        } else {
            problem("The multiplier is a number from 0.001 to 1000, such as 1 or 0.5.");
        }
    } else if (iPace == 2 || iPace == 3) {
        SPaceOptions probe;
        probe.ePace = static_cast<EPace>(iPace);
        probe.dRate = d;
        if (bValue && CheckPaceOptions(probe, csIgnored)) {
            pace.ePace = probe.ePace;
            pace.dRate = d;
        } else {
            problem(iPace == 2 ? "Packets per second is a number from 0.001 to 100000000."
                               : "Megabits per second is a number from 0.001 to 1000000.");
        }
    }
    // Whole numbers only: digits and nothing else.
    const auto whole = [](const std::string& cs, uint64_t uMax, int64_t& ll) {
        uint64_t u = 0;
        if (!ParseWholeNumber(cs, uMax, u))
            return false;
        ll = static_cast<int64_t>(u);
        return true;
    };
    int64_t ll = 0;
    if (m_pRepeat->currentIndex() == 1)
        pace.llLoops = 0;
    else if (whole(Text(m_pRounds), INT_MAX, ll) && ll >= 1)
        pace.llLoops = ll;
    else
        problem("The number of times is a whole number from 1 up (or choose Until stopped).");
    if (whole(Text(m_pPauseMs), kMaxLoopPauseMs, ll))
        pace.llLoopPauseMs = ll;
    else
        problem("The pause between rounds is a whole number of milliseconds, 0 to 86400000.");
    if (m_pDurationOn->isChecked()) {
        if (ParsePaceNumber(Text(m_pDuration), d) && d > 0 && d <= kMaxDurationSeconds)
            pace.dDurationSeconds = d;
        else
            problem("The time to stop after is a number of seconds above 0, up to 31536000.");
    }
    // One round never waits for a pause: the field may keep its number.
    if (pace.llLoops == 1)
        pace.llLoopPauseMs = 0;
    return csProblem;
}

void CSendOptionsDlg::OnTimingChanged()
{
    // Each pace keeps its own number while another is chosen.
    const int iPace = m_pPace->currentIndex();
    if (iPace != m_iPaceShown) {
        m_aqsPaceValues[m_iPaceShown] = m_pPaceValue->text();
        m_iPaceShown = iPace;
        m_pPaceValue->setText(m_aqsPaceValues[iPace]);
    }
    static const char* const kUnits[] = { "", "", "packets/s", "Mbit/s" };
    static const char* const kExamples[] = { "", "e.g. 10", "e.g. 1000", "e.g. 100" };
    const int i = iPace < 0 ? 0 : iPace;
    m_pPaceUnit->setText(QString::fromLatin1(kUnits[i]));
    m_pPaceValue->setPlaceholderText(QString::fromLatin1(kExamples[i]));
    // Back to back takes no number: an empty box beside it would look like one to fill.
    m_pPaceValue->setEnabled(iPace > 0);
    m_pPaceValue->setVisible(iPace > 0);
    m_pRounds->setEnabled(m_pRepeat->currentIndex() == 0);
    m_pDuration->setEnabled(m_pDurationOn->isChecked());
    OnChanged();
}

QGroupBox* CSendOptionsDlg::BuildListenGroup()
{
    auto* pGroup = new QGroupBox(QStringLiteral("Listen for answers"), this);
    pGroup->setObjectName(QStringLiteral("listenGroup"));
    auto* pForm = new QFormLayout(pGroup);

    m_pListen
        = new QCheckBox(QStringLiteral("&Listen for the device's answers while sending"), pGroup);
    m_pListen->setObjectName(QStringLiteral("listenOn"));
    pForm->addRow(m_pListen);

    m_pListenWait = new QDoubleSpinBox(pGroup);
    m_pListenWait->setObjectName(QStringLiteral("listenWait"));
    m_pListenWait->setDecimals(1);
    m_pListenWait->setRange(0.0, kMaxListenWaitSeconds);
    m_pListenWait->setSingleStep(0.5);
    m_pListenWait->setSuffix(QStringLiteral(" s"));
    m_pListenWait->setFixedWidth(
        m_pListenWait->fontMetrics().horizontalAdvance(QStringLiteral("86400.0 s______")));
    auto* pWaitLabel = new QLabel(QStringLiteral("&Wait after the last frame"), pGroup);
    pWaitLabel->setBuddy(m_pListenWait);
    pForm->addRow(pWaitLabel, m_pListenWait);

    m_pExpectCaptured = new QCheckBox(QStringLiteral("&Expect the captured answers"), pGroup);
    m_pExpectCaptured->setObjectName(QStringLiteral("listenExpectCaptured"));
    pForm->addRow(QString(), m_pExpectCaptured);

    // How answers are held against the captured ones, as the command's
    // --compare and --volatile.
    m_pCompare = new QComboBox(pGroup);
    m_pCompare->setObjectName(QStringLiteral("listenCompare"));
    m_pCompare->addItems({ QStringLiteral("Value by value; volatile properties may change"),
        QStringLiteral("Every value, strictly"), QStringLiteral("The kind of answer alone") });
    auto* pCompareLabel = new QLabel(QStringLiteral("&Judge answers by"), pGroup);
    pCompareLabel->setBuddy(m_pCompare);
    pForm->addRow(pCompareLabel, m_pCompare);
    m_pVolatileFile = new QLineEdit(pGroup);
    m_pVolatileFile->setObjectName(QStringLiteral("listenVolatileFile"));
    m_pVolatileFile->setPlaceholderText(QStringLiteral("none: the built-in profile"));
    m_pVolatileFile->setToolTip(
        QStringLiteral("A file of volatile properties and tolerances, one rule a line: "
                       "[-]OBJECT PROPERTY [TOLERANCE], e.g. \"analog-value present-value 0.5\" "
                       "(see man velmora-replay)"));
    auto* pVolatileLabel = new QLabel(QStringLiteral("Volatile properties &file"), pGroup);
    pVolatileLabel->setBuddy(m_pVolatileFile);
    pForm->addRow(pVolatileLabel, m_pVolatileFile);
    connect(m_pCompare, &QComboBox::currentIndexChanged, this, &CSendOptionsDlg::OnChanged);
    connect(m_pVolatileFile, &QLineEdit::textChanged, this, &CSendOptionsDlg::OnChanged);

    // Conversing: a check box and its four numbers, two to a row.
    m_pConverse = new QCheckBox(QStringLiteral("Wait for eac&h answer, as a client does"), pGroup);
    m_pConverse->setObjectName(QStringLiteral("listenConverse"));
    pForm->addRow(QString(), m_pConverse);
    // Each field's range is the limit the command and the file check.
    const auto spin
        = [pGroup](const char* szName, EConverseSetting eSetting, const char* szSuffix) {
              auto* p = new QSpinBox(pGroup);
              p->setObjectName(QString::fromLatin1(szName));
              const SConverseLimit limit = ConverseLimit(eSetting);
              p->setRange(static_cast<int>(limit.llMin), static_cast<int>(limit.llMax));
              p->setSuffix(QString::fromLatin1(szSuffix));
              return p;
          };
    m_pConverseWindow = spin("converseWindow", EConverseSetting::Window, "");
    m_pApduTimeout = spin("converseApduTimeout", EConverseSetting::ApduTimeout, " ms");
    m_pRetries = spin("converseRetries", EConverseSetting::Retries, " times");
    m_pGiveUp = spin("converseGiveUp", EConverseSetting::GiveUp, " unanswered");
    m_pGiveUp->setSpecialValueText(QStringLiteral("never"));
    const auto pair = [pGroup](const char* szFirst, QSpinBox* pFirst, const char* szSecond,
                          QSpinBox* pSecond) {
        auto* pRow = new QHBoxLayout;
        for (auto [sz, p] : { std::pair { szFirst, pFirst }, std::pair { szSecond, pSecond } }) {
            auto* pLabel = new QLabel(QString::fromUtf8(sz), pGroup);
            pLabel->setBuddy(p);
            pRow->addWidget(pLabel);
            pRow->addWidget(p);
        }
        pRow->addStretch();
        return pRow;
    };
    pForm->addRow(QString(),
        pair("Re&quests at a time per device", m_pConverseWindow, "Ti&me-out", m_pApduTimeout));
    pForm->addRow(QString(), pair("Retr&y up to", m_pRetries, "&Give up after", m_pGiveUp));

    m_pRequestsOnly = new QCheckBox(
        QStringLiteral("Send requests o&nly (skip the answers the capture holds)"), pGroup);
    m_pRequestsOnly->setObjectName(QStringLiteral("listenRequestsOnly"));
    pForm->addRow(m_pRequestsOnly);
    // Beside it: a capture taken on the sending host holds checksums its NIC
    // was left to fill in; listening (or aiming) mends them unless kept.
    m_pKeepChecksums = new QCheckBox(
        QStringLiteral("&Keep wrong IPv4 and UDP checksums as captured (a device drops them)"),
        pGroup);
    m_pKeepChecksums->setObjectName(QStringLiteral("keepChecksums"));
    m_pKeepChecksums->setToolTip(
        QStringLiteral("Off: while listening or aiming, BACnet/IP frames whose checksums were left "
                       "to the NIC of the capturing host go out with them mended."));
    pForm->addRow(m_pKeepChecksums);

    auto* pNote = new QLabel(
        QStringLiteral("Every BACnet frame heard on the adapter is kept from the first frame sent "
                       "until the wait is over; Stop ends the wait. Each request is paired with "
                       "its answer in the results (Capture > Results)."),
        pGroup);
    pNote->setObjectName(QStringLiteral("listenNote"));
    pNote->setWordWrap(true);
    pForm->addRow(pNote);

    for (QCheckBox* p :
        { m_pListen, m_pExpectCaptured, m_pRequestsOnly, m_pConverse, m_pKeepChecksums })
        connect(p, &QCheckBox::toggled, this, &CSendOptionsDlg::OnChanged);
    return pGroup;
}

void CSendOptionsDlg::ShowOptions(const SSendOptions& options)
{
    ShowTiming(options.pace);
    m_pListen->setChecked(options.listen.bListen);
    m_pListenWait->setValue(static_cast<double>(options.listen.wait.count()) / 1000.0);
    m_pExpectCaptured->setChecked(options.listen.bExpectCaptured);
    m_pCompare->setCurrentIndex(static_cast<int>(options.listen.eCompare));
    m_pVolatileFile->setText(QString::fromStdString(options.listen.csVolatileFile));
    m_pRequestsOnly->setChecked(options.listen.bRequestsOnly);
    m_pKeepChecksums->setChecked(options.bKeepChecksums);
    m_pConverse->setChecked(options.listen.bConverse);
    m_pConverseWindow->setValue(options.listen.converse.iWindow);
    m_pApduTimeout->setValue(static_cast<int>(options.listen.converse.llApduTimeoutMs));
    m_pRetries->setValue(options.listen.converse.iRetries);
    m_pGiveUp->setValue(options.listen.converse.iGiveUp);
    const SAimOptions& aim = options.aim;
    m_pDstMacOn->setChecked(aim.bDstMac);
    m_pDstMac->setText(aim.bDstMac ? QString::fromStdString(FormatMac(aim.dstMac)) : QString());
    m_pAlsoBroadcasts->setChecked(aim.bAlsoBroadcasts);
    m_pSrcMacFrom->setCurrentIndex(SourceIndex(aim.eSrcMac));
    m_pSrcMac->setText(aim.eSrcMac == EAimSource::Given
            ? QString::fromStdString(FormatMac(aim.srcMac))
            : QString());
    m_pDstIpOn->setChecked(aim.bDstIp);
    m_pDstIp->setText(aim.bDstIp ? QString::fromStdString(FormatIpv4(aim.dstIp)) : QString());
    m_pDstPort->setText(aim.bDstIp && aim.uDstPort ? QString::number(aim.uDstPort) : QString());
    m_pSrcIpFrom->setCurrentIndex(SourceIndex(aim.eSrcIp));
    m_pSrcIp->setText(aim.eSrcIp == EAimSource::Given
            ? QString::fromStdString(FormatIpv4(aim.srcIp))
            : QString());
    m_pSrcPort->setText(aim.eSrcIp != EAimSource::AsCaptured && aim.uSrcPort
            ? QString::number(aim.uSrcPort)
            : QString());
    m_pRoute->setCurrentIndex(static_cast<int>(aim.route.eRoute));
    m_pRouteTo->setText(aim.route.eRoute == ERoute::Given
            ? QString::fromStdString(FormatRoute(aim.route))
            : QString());
    {
        const QSignalBlocker block(m_pDevices);
        m_pDevices->setRowCount(std::max<int>(4, static_cast<int>(aim.devices.size()) + 1));
        for (int iRow = 0; iRow < m_pDevices->rowCount(); ++iRow) {
            const bool bMap = iRow < static_cast<int>(aim.devices.size());
            const SDeviceMap m = bMap ? aim.devices[static_cast<size_t>(iRow)] : SDeviceMap();
            m_pDevices->setItem(
                iRow, 0, new QTableWidgetItem(bMap ? QString::number(m.uOld) : QString()));
            m_pDevices->setItem(
                iRow, 1, new QTableWidgetItem(bMap ? QString::number(m.uNew) : QString()));
        }
    }
    OnChanged();
}

SSendOptions CSendOptionsDlg::Options() const
{
    SSendOptions options;
    SAimOptions& aim = options.aim;
    aim.bDstMac = m_pDstMacOn->isChecked() && ParseMac(Text(m_pDstMac), aim.dstMac);
    aim.bAlsoBroadcasts = m_pAlsoBroadcasts->isChecked();
    aim.eSrcMac = SourceAt(m_pSrcMacFrom->currentIndex());
    if (aim.eSrcMac == EAimSource::Given
        && !ParseMacSource(Text(m_pSrcMac), aim.eSrcMac, aim.srcMac))
        aim.eSrcMac = EAimSource::AsCaptured;
    uint16_t uIgnored = 0;
    aim.bDstIp = m_pDstIpOn->isChecked() && ParseIpv4Endpoint(Text(m_pDstIp), aim.dstIp, uIgnored)
        && uIgnored == 0 && ReadPort(m_pDstPort, aim.uDstPort);
    if (!aim.bDstIp)
        aim.uDstPort = 0;
    aim.eSrcIp = SourceAt(m_pSrcIpFrom->currentIndex());
    if (aim.eSrcIp == EAimSource::Given
        && (!ParseIpv4Endpoint(Text(m_pSrcIp), aim.srcIp, uIgnored) || uIgnored != 0))
        aim.eSrcIp = EAimSource::AsCaptured;
    if (aim.eSrcIp != EAimSource::AsCaptured && !ReadPort(m_pSrcPort, aim.uSrcPort))
        aim.eSrcIp = EAimSource::AsCaptured;
    if (aim.eSrcIp == EAimSource::AsCaptured)
        aim.uSrcPort = 0;
    const int iRoute = m_pRoute->currentIndex();
    if (iRoute == 1)
        aim.route.eRoute = ERoute::Direct;
    else if (iRoute == 2
        && (!ParseRoute(Text(m_pRouteTo), aim.route) || aim.route.eRoute != ERoute::Given))
        aim.route = SRoute();
    if (!ReadDevices(aim.devices))
        aim.devices.clear();
    ReadTiming(options.pace);
    SListenOptions& listen = options.listen;
    listen.bListen = m_pListen->isChecked();
    listen.wait = std::chrono::milliseconds(std::llround(m_pListenWait->value() * 1000.0));
    listen.bExpectCaptured = m_pExpectCaptured->isChecked();
    listen.eCompare = static_cast<EAnswerCompare>(std::clamp(m_pCompare->currentIndex(), 0, 2));
    listen.csVolatileFile = Text(m_pVolatileFile);
    listen.bRequestsOnly = m_pRequestsOnly->isChecked();
    listen.bConverse = m_pConverse->isChecked();
    listen.converse.iWindow = m_pConverseWindow->value();
    listen.converse.llApduTimeoutMs = m_pApduTimeout->value();
    listen.converse.iRetries = m_pRetries->value();
    listen.converse.iGiveUp = m_pGiveUp->value();
    options.bKeepChecksums = m_pKeepChecksums->isChecked();
    return options;
}

std::string CSendOptionsDlg::Problem() const
{
    CMacAddress mac;
    CIpv4Address ip;
    uint16_t uPort = 0;
    EAimSource eSource = EAimSource::AsCaptured;
    if (m_pDstMacOn->isChecked() && !ParseMac(Text(m_pDstMac), mac))
        return "The destination MAC needs six bytes in hex, such as 02:00:00:00:00:2a.";
    if (SourceAt(m_pSrcMacFrom->currentIndex()) == EAimSource::Given
        && !ParseMacSource(Text(m_pSrcMac), eSource, mac))
        return "The source MAC needs six bytes in hex, such as 02:00:00:00:00:01, and no group "
               "address.";
    if (m_pDstIpOn->isChecked() && (!ParseIpv4Endpoint(Text(m_pDstIp), ip, uPort) || uPort != 0))
        return "The BACnet/IP destination needs an IPv4 address such as 192.168.1.20.";
    if (m_pDstIpOn->isChecked() && !ReadPort(m_pDstPort, uPort))
        return "The destination port is a number from 1 to 65535, or blank for the captured one.";
    if (SourceAt(m_pSrcIpFrom->currentIndex()) == EAimSource::Given
        && (!ParseIpv4Endpoint(Text(m_pSrcIp), ip, uPort) || uPort != 0))
        return "The BACnet/IP source needs an IPv4 address such as 192.168.1.5.";
    if (SourceAt(m_pSrcIpFrom->currentIndex()) != EAimSource::AsCaptured
        && !ReadPort(m_pSrcPort, uPort))
        return "The source port is a number from 1 to 65535, or blank for the captured one.";
    SRoute route;
    if (m_pRoute->currentIndex() == 2
        && (!ParseRoute(Text(m_pRouteTo), route) || route.eRoute != ERoute::Given))
        return "The bench router's route is NET:ADDR, such as 5:0x1f or 5:02:00:00:00:00:2a, "
               "with NET 1 to 65534.";
    std::vector<SDeviceMap> devices;
    std::string csWhy;
    if (!ReadDevices(devices, &csWhy))
        return csWhy;
    // A volatile file with a bad line is told here, not after a Send.
    SListenOptions listen;
    listen.csVolatileFile = Text(m_pVolatileFile);
    judge::SCompareRules rules;
    if (m_pVolatileFile->isEnabled() && !LoadCompareRules(listen, rules, csWhy))
        return "The volatile properties file: " + csWhy + ".";
    SPaceOptions pace;
    return ReadTiming(pace);
}

bool CSendOptionsDlg::ReadDevices(std::vector<SDeviceMap>& devices, std::string* pcsWhy) const
{
    devices.clear();
    for (int iRow = 0; iRow < m_pDevices->rowCount(); ++iRow) {
        auto cell = [&](int iCol) {
            const QTableWidgetItem* p = m_pDevices->item(iRow, iCol);
            return p ? p->text().trimmed().toStdString() : std::string();
        };
        const std::string csOld = cell(0), csNew = cell(1);
        if (csOld.empty() && csNew.empty())
            continue;
        SDeviceMap map;
        if (!ParseDeviceMap(csOld + "=" + csNew, map)) {
            if (pcsWhy)
                *pcsWhy = "Device instances are numbers from 0 to 4194302, both of a row given.";
            return false;
        }
        for (const SDeviceMap& m : devices) {
            if (m.uOld == map.uOld) {
                if (pcsWhy)
                    *pcsWhy = "Device " + std::to_string(map.uOld) + " is mapped twice.";
                return false;
            }
        }
        devices.push_back(map);
    }
    return true;
}

void CSendOptionsDlg::OnChanged()
{
    m_pDstMac->setEnabled(m_pDstMacOn->isChecked());
    m_pAlsoBroadcasts->setEnabled(m_pDstMacOn->isChecked() || m_pDstIpOn->isChecked());
    m_pSrcMac->setEnabled(SourceAt(m_pSrcMacFrom->currentIndex()) == EAimSource::Given);
    m_pDstIp->setEnabled(m_pDstIpOn->isChecked());
    m_pDstPort->setEnabled(m_pDstIpOn->isChecked());
    const EAimSource eSrcIp = SourceAt(m_pSrcIpFrom->currentIndex());
    m_pSrcIp->setEnabled(eSrcIp == EAimSource::Given);
    m_pSrcPort->setEnabled(eSrcIp != EAimSource::AsCaptured);
    m_pRouteTo->setEnabled(m_pRoute->currentIndex() == 2);
    // Requests only is of use without listening too (a client's side alone).
    m_pListenWait->setEnabled(m_pListen->isChecked());
    m_pExpectCaptured->setEnabled(m_pListen->isChecked());
    const bool bExpect = m_pListen->isChecked() && m_pExpectCaptured->isChecked();
    m_pCompare->setEnabled(bExpect);
    m_pVolatileFile->setEnabled(bExpect && m_pCompare->currentIndex() != 2);
    m_pConverse->setEnabled(m_pListen->isChecked());
    for (QSpinBox* p : { m_pConverseWindow, m_pApduTimeout, m_pRetries, m_pGiveUp })
        p->setEnabled(m_pListen->isChecked() && m_pConverse->isChecked());
    const std::string csProblem = Problem();
    m_pProblem->setText(QString::fromStdString(csProblem));
    const bool bWasShown = !m_pProblem->isHidden();
    m_pProblem->setVisible(!csProblem.empty());
    // The window grows for the line rather than squeeze the notes above it.
    if (isVisible() && !bWasShown && !csProblem.empty())
        resize(width(),
            std::max(height(),
                heightForWidth(width()) > 0 ? heightForWidth(width()) : sizeHint().height()));
    m_pButtons->button(QDialogButtonBox::Ok)->setEnabled(csProblem.empty());
}

void CSendOptionsDlg::OnDefaults()
{
    ShowOptions(SSendOptions());
}

namespace {

    // Keeps the window painted while the Who-Is waits for its answers.
    class CPumpObserver final : public IReplayObserver {
    public:
        void OnProgress(const SReplayCounts&) override { QCoreApplication::processEvents(); }
        void OnListening(const SListenCounts&) override { QCoreApplication::processEvents(); }
    };

    SDiscovery DiscoverOnAdapter(const std::string& csAdapter)
    {
        CPumpObserver observer;
        return Discover(
            csAdapter, std::chrono::milliseconds(CSendOptionsDlg::kDiscoverWaitMs), observer);
    }

    CSendOptionsDlg::FDiscover s_discover;

} // namespace

void CSendOptionsDlg::SetDiscover(FDiscover discover)
{
    s_discover = std::move(discover);
}

void CSendOptionsDlg::OnDiscover()
{
    m_pDiscovered->setText(
        QStringLiteral("Sending a Who-Is on %1\u2026").arg(QString::fromStdString(m_csAdapter)));
    m_pDiscover->setEnabled(false);
    QCoreApplication::processEvents();
    const SDiscovery discovery
        = s_discover ? s_discover(m_csAdapter) : DiscoverOnAdapter(m_csAdapter);
    m_pDiscover->setEnabled(true);
    const std::string csSummary
        = DiscoverySummary(discovery, std::chrono::milliseconds(kDiscoverWaitMs));
    if (discovery.devices.empty()) {
        m_pDiscovered->setText(QString::fromStdString(csSummary));
        return;
    }
    size_t nChosen = 0;
    if (discovery.devices.size() > 1) {
        QStringList items;
        for (const judge::SDiscovered& d : discovery.devices) {
            QString qs = QString::fromStdString(judge::DiscoveredLine(d));
            qs.replace(QLatin1Char('\t'), QStringLiteral("  "));
            items << QStringLiteral("device ") + qs;
        }
        bool bOk = false;
        const QString qsChosen = QInputDialog::getItem(this, QStringLiteral("Discover"),
            QString::fromStdString(csSummary) + QStringLiteral(": aim at which?"), items, 0, false,
            &bOk);
        if (!bOk)
            return;
        nChosen = static_cast<size_t>(std::max<qsizetype>(0, items.indexOf(qsChosen)));
    }
    FillAim(discovery.devices[nChosen]);
    m_pDiscovered->setText(QString::fromStdString(
        csSummary + "; aimed at device " + std::to_string(discovery.devices[nChosen].uInstance)));
}

void CSendOptionsDlg::FillAim(const judge::SDiscovered& device)
{
    SSendOptions options = Options();
    SAimOptions& aim = options.aim;
    aim.bDstMac = true;
    std::copy(device.mac.begin(), device.mac.end(), aim.dstMac.begin());
    if (aim.eSrcMac == EAimSource::AsCaptured)
        aim.eSrcMac = EAimSource::Adapter;
    if (device.bIp) {
        aim.bDstIp = true;
        std::copy(device.ip.begin(), device.ip.end(), aim.dstIp.begin());
        aim.uDstPort = device.uPort == 0xBAC0 ? 0 : device.uPort;
        if (aim.eSrcIp == EAimSource::AsCaptured)
            aim.eSrcIp = EAimSource::Adapter;
    }
    // Behind a router: the requests go to its network and address; else
    // straight to the device.
    if (device.bRouted && !device.sadr.empty() && device.sadr.size() <= aim.route.addr.size()) {
        aim.route.eRoute = ERoute::Given;
        aim.route.uNet = device.uNetwork;
        aim.route.uAddrLength = static_cast<uint8_t>(device.sadr.size());
        aim.route.addr = {};
        std::copy(device.sadr.begin(), device.sadr.end(), aim.route.addr.begin());
    } else {
        aim.route = SRoute();
        aim.route.eRoute = ERoute::Direct;
    }
    ShowOptions(options);
    OnChanged();
}

bool CQtSendOptionsDialog::Edit(QWidget* pOwner, SSendOptions& options,
    const std::string& csAdapter, const SAdapterAddresses& adapter)
{
    CSendOptionsDlg dlg(options, csAdapter, adapter, pOwner);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    options = dlg.Options();
    return true;
}

namespace {

    CQtSendOptionsDialog s_qtSendOptionsDialog;
    ISendOptionsDialog* s_pSendOptionsDialog = nullptr;

} // namespace

void SetSendOptionsDialog(ISendOptionsDialog* pDialog)
{
    s_pSendOptionsDialog = pDialog;
}

ISendOptionsDialog& GetSendOptionsDialog()
{
    return s_pSendOptionsDialog ? *s_pSendOptionsDialog : s_qtSendOptionsDialog;
}

} // namespace velmora

namespace velmora {

void CSendOptionsDlg::FitToScreen()
{
    // As tall as the groups want, at most what the screen leaves beside the
    // buttons; the width always takes the groups whole.
    QWidget* pGroups = m_pScroll->widget();
    const QSize want = pGroups->sizeHint();
    int iRoom = want.height();
    if (const QScreen* pScreen = screen()) {
        const int iOther = m_pButtons->sizeHint().height() + 96; // buttons, margins, title bar
        iRoom = std::min(iRoom, pScreen->availableGeometry().height() - iOther);
    }
    m_pScroll->setMinimumHeight(std::max(iRoom, 120));
    m_pScroll->setMinimumWidth(want.width()
        + (iRoom < want.height() ? m_pScroll->verticalScrollBar()->sizeHint().width() : 0));
}

} // namespace velmora
