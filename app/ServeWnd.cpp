#include "app/ServeWnd.h"

#include "app/QtPlatform.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <charconv>
#include <cstdio>

namespace velmora {

namespace {

    QString Text(const std::string& cs)
    {
        return QString::fromStdString(cs);
    }

    // "1234, 5678" or "1234 5678"; false with the word that is no instance.
    bool ParseDevices(const std::string& cs, std::vector<uint32_t>& devices, std::string& csBad)
    {
        devices.clear();
        size_t n = 0;
        while (n < cs.size()) {
            const size_t nStart = cs.find_first_not_of(", ", n);
            if (nStart == std::string::npos)
                break;
            const size_t nEnd = std::min(cs.find_first_of(", ", nStart), cs.size());
            const std::string csWord = cs.substr(nStart, nEnd - nStart);
            uint32_t u = 0;
            const auto r = std::from_chars(csWord.data(), csWord.data() + csWord.size(), u);
            if (r.ec != std::errc() || r.ptr != csWord.data() + csWord.size() || u > 4194302) {
                csBad = csWord;
                return false;
            }
            devices.push_back(u);
            n = nEnd;
        }
        return true;
    }

    std::string SuggestedServedPath(const std::string& csCapture)
    {
        std::string cs = csCapture.empty() ? std::string("served") : csCapture;
        const size_t nSlash = cs.rfind('/');
        const size_t nDot = cs.rfind('.');
        if (nDot != std::string::npos && (nSlash == std::string::npos || nDot > nSlash))
            cs.erase(nDot);
        return cs + "-served.tsv";
    }

} // namespace

CServeWnd::CServeWnd(QWidget* pParent)
    : QWidget(pParent, Qt::Window)
{
    setObjectName(QStringLiteral("serveWindow"));
    setWindowTitle(tr("Serve as the captured device"));
    m_pSource = new QLabel(this);
    m_pSource->setObjectName(QStringLiteral("serveSource"));
    m_pDevices = new QLineEdit(this);
    m_pDevices->setObjectName(QStringLiteral("serveDevices"));
    m_pDevices->setPlaceholderText(tr("every device of the capture"));
    m_pReadOnly = new QCheckBox(tr("&Read only"), this);
    m_pReadOnly->setObjectName(QStringLiteral("serveReadOnly"));
    m_pHistory = new QCheckBox(tr("Captured values in &order"), this);
    m_pHistory->setObjectName(QStringLiteral("serveHistory"));
    m_pStart = new QPushButton(tr("&Start"), this);
    m_pStart->setObjectName(QStringLiteral("serveStart"));
    m_pStop = new QPushButton(tr("S&top"), this);
    m_pStop->setObjectName(QStringLiteral("serveStop"));
    m_pSave = new QPushButton(tr("Save &served list\u2026"), this);
    m_pSave->setObjectName(QStringLiteral("serveSave"));
    m_pStatus = new QLabel(tr("Not serving."), this);
    m_pStatus->setObjectName(QStringLiteral("serveStatus"));
    m_pStatus->setWordWrap(true);
    m_pCounts = new QLabel(this);
    m_pCounts->setObjectName(QStringLiteral("serveCounts"));
    m_pLast = new QPlainTextEdit(this);
    m_pLast->setObjectName(QStringLiteral("serveLast"));
    m_pLast->setReadOnly(true);
    m_pLast->setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* pDevices = new QHBoxLayout;
    auto* pDevicesLabel = new QLabel(tr("&Devices:"), this);
    pDevicesLabel->setBuddy(m_pDevices);
    pDevices->addWidget(pDevicesLabel);
    pDevices->addWidget(m_pDevices, 1);
    pDevices->addWidget(m_pReadOnly);
    pDevices->addWidget(m_pHistory);
    auto* pButtons = new QHBoxLayout;
    pButtons->addWidget(m_pStart);
    pButtons->addWidget(m_pStop);
    pButtons->addStretch(1);
    pButtons->addWidget(m_pSave);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pSource);
    pLayout->addLayout(pDevices);
    pLayout->addLayout(pButtons);
    pLayout->addWidget(m_pStatus);
    pLayout->addWidget(m_pCounts);
    pLayout->addWidget(new QLabel(tr("Last requests:"), this));
    pLayout->addWidget(m_pLast, 1);
    resize(720, 420);

    connect(m_pStart, &QPushButton::clicked, this, &CServeWnd::OnStart);
    connect(m_pStop, &QPushButton::clicked, this, &CServeWnd::OnStop);
    connect(m_pSave, &QPushButton::clicked, this, &CServeWnd::OnSave);
    connect(&m_timer, &QTimer::timeout, this, &CServeWnd::OnTick);
    m_timer.setInterval(100);
    OnTick();
}

CServeWnd::~CServeWnd()
{
    m_session.Stop();
}

void CServeWnd::SetCapture(const std::string& csCapture, const std::string& csAdapter)
{
    m_csCapture = csCapture;
    m_csAdapter = csAdapter;
    m_pSource->setText(tr("Capture: %1\nAdapter: %2")
                           .arg(Text(csCapture.empty() ? "(none)" : csCapture),
                               Text(csAdapter.empty() ? "(none)" : csAdapter)));
    OnTick();
}

void CServeWnd::OnStart()
{
    if (m_session.Running())
        return;
    serve::SServeRequest request;
    request.csAdapter = m_csAdapter;
    request.options.bReadOnly = m_pReadOnly->isChecked();
    request.options.bHistory = m_pHistory->isChecked();
    std::string csBad;
    if (!ParseDevices(m_pDevices->text().toStdString(), request.options.devices, csBad)) {
        m_pStatus->setText(tr("'%1' is no device instance (0 to 4194302).").arg(Text(csBad)));
        return;
    }
    if (m_csCapture.empty() || m_csAdapter.empty()) {
        m_pStatus->setText(tr("Choose a capture and an adapter in the main window first."));
        return;
    }
    m_pLast->clear();
    m_session.Start(m_csCapture, request);
    m_timer.start();
    OnTick();
}

void CServeWnd::OnStop()
{
    m_session.Stop();
    OnTick();
}

void CServeWnd::OnSave()
{
    const std::string csPath
        = GetFileDialog().GetSaveFileName(this, SuggestedServedPath(m_csCapture));
    if (csPath.empty())
        return;
    const std::string cs = m_session.ServedTsv();
    std::FILE* p = std::fopen(csPath.c_str(), "wb");
    const bool bOk = p && std::fwrite(cs.data(), 1, cs.size(), p) == cs.size();
    if (p && std::fclose(p) != 0)
        m_pStatus->setText(tr("Could not write %1.").arg(Text(csPath)));
    else if (!bOk)
        m_pStatus->setText(tr("Could not write %1.").arg(Text(csPath)));
}

void CServeWnd::OnTick()
{
    using EState = serve::SServeSnapshot::EState;
    const serve::SServeSnapshot s = m_session.Snapshot();
    const bool bRunning = s.eState == EState::Learning || s.eState == EState::Serving;
    m_pStart->setEnabled(!bRunning);
    m_pStop->setEnabled(bRunning);
    m_pDevices->setEnabled(!bRunning);
    m_pReadOnly->setEnabled(!bRunning);
    m_pHistory->setEnabled(!bRunning);
    m_pSave->setEnabled(s.counts.uRequests > 0);
    switch (s.eState) {
    case EState::Idle:
        m_pStatus->setText(tr("Not serving."));
        break;
    case EState::Learning:
        m_pStatus->setText(tr("Learning the devices of the capture\u2026"));
        break;
    case EState::Serving: {
        QString csDevices;
        for (uint32_t u : s.devices)
            csDevices += (csDevices.isEmpty() ? "" : ", ") + QString::number(u);
        m_pStatus->setText(tr("Serving %1 %2 on %3 (%4).")
                               .arg(s.devices.size() == 1 ? tr("device") : tr("devices"), csDevices,
                                   Text(s.csAddress), Text(s.csLearned)));
        break;
    }
    case EState::Stopped:
        m_pStatus->setText(tr("Stopped."));
        break;
    case EState::Failed:
        m_pStatus->setText(tr("Could not serve: %1").arg(Text(s.csError)));
        break;
    }
    m_pCounts->setText(Text(serve::ServeSummary(s.counts)));
    QString csLast;
    for (const std::string& cs : s.last)
        csLast += Text(cs).replace('\t', QStringLiteral("  ")) + '\n';
    if (csLast != m_pLast->toPlainText())
        m_pLast->setPlainText(csLast);
    if (!bRunning)
        m_timer.stop();
}

void CServeWnd::keyPressEvent(QKeyEvent* pEvent)
{
    const int iKey = pEvent->key();
    const Qt::KeyboardModifiers mods = pEvent->modifiers() & ~Qt::KeypadModifier;
    if (iKey == Qt::Key_Escape && mods == Qt::NoModifier) {
        close();
        return;
    }
    // A window has no default button: Enter presses the focused one, and
    // from the field or a box it starts, as the window is for.
    if ((iKey == Qt::Key_Return || iKey == Qt::Key_Enter) && mods == Qt::NoModifier) {
        auto* pButton = qobject_cast<QPushButton*>(focusWidget());
        if (!pButton)
            pButton = m_pStart;
        if (pButton->isEnabled())
            pButton->click();
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

void CServeWnd::closeEvent(QCloseEvent* pEvent)
{
    // Closing the window ends the serving: nothing answers behind the user's back.
    m_session.Stop();
    OnTick();
    QWidget::closeEvent(pEvent);
}

} // namespace velmora
