#include "app/SendOptionsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

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
    m_pGroups = new QVBoxLayout();
    pLayout->addLayout(m_pGroups);
    // One line per group; the timing and listening groups go below this one.
    m_pGroups->addWidget(BuildAimGroup(csAdapter, adapter));

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

    auto* pNote = new QLabel(
        QStringLiteral("Only BACnet frames are aimed; others go as captured. Routed requests keep "
                       "their NPDU destination (DNET/DADR), and Forwarded-NPDUs keep their "
                       "original source: they name a device behind a router, not the next hop. "
                       "Checksums are kept right; lengths and padding are never changed."),
        pGroup);
    pNote->setObjectName(QStringLiteral("aimNote"));
    pNote->setWordWrap(true);
    pForm->addRow(pNote);

    for (QCheckBox* p : { m_pDstMacOn, m_pAlsoBroadcasts, m_pDstIpOn })
        connect(p, &QCheckBox::toggled, this, &CSendOptionsDlg::OnChanged);
    for (QComboBox* p : { m_pSrcMacFrom, m_pSrcIpFrom })
        connect(p, &QComboBox::currentIndexChanged, this, &CSendOptionsDlg::OnChanged);
    for (QLineEdit* p : { m_pDstMac, m_pSrcMac, m_pDstIp, m_pDstPort, m_pSrcIp, m_pSrcPort })
        connect(p, &QLineEdit::textChanged, this, &CSendOptionsDlg::OnChanged);
    return pGroup;
}

void CSendOptionsDlg::ShowOptions(const SSendOptions& options)
{
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
    return std::string();
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
    const std::string csProblem = Problem();
    m_pProblem->setText(QString::fromStdString(csProblem));
    m_pProblem->setVisible(!csProblem.empty());
    m_pButtons->button(QDialogButtonBox::Ok)->setEnabled(csProblem.empty());
}

void CSendOptionsDlg::OnDefaults()
{
    ShowOptions(SSendOptions());
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
