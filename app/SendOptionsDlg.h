#pragma once

#include "replay/Aim.h"
#include "session/Discover.h"
#include "session/SendOptions.h"

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QDoubleSpinBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QScrollArea;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QSpinBox;
class QVBoxLayout;

namespace velmora {

// Capture > Send options...: what a Send does besides sending the records as
// captured (the aim, the listening). One group box per option group, stacked; a later group is one
// more Build...Group function and one more line in the constructor.
class CSendOptionsDlg : public QDialog {
    Q_OBJECT
public:
    // csAdapter and adapter: the adapter chosen in the main window and its
    // addresses, shown where "the adapter's own" can be picked.
    CSendOptionsDlg(const SSendOptions& options, const std::string& csAdapter,
        const SAdapterAddresses& adapter, QWidget* pParent = nullptr);

    // The options as the controls hold them; valid while Problem() is empty.
    SSendOptions Options() const;
    // What keeps OK off, in one line ("" when nothing does).
    std::string Problem() const;

    // Discover: one Who-Is on the adapter; replaceable, so that tests
    // answer it (null: the real Send).
    using FDiscover = std::function<SDiscovery(const std::string& csAdapter)>;
    static void SetDiscover(FDiscover discover);
    static constexpr int kDiscoverWaitMs = 3000;
    // Aims at a device Discover found: its MAC and IP address and port, the
    // adapter's own as the source, and the route to it.
    void FillAim(const judge::SDiscovered& device);

private:
    QGroupBox* BuildAimGroup(const std::string& csAdapter, const SAdapterAddresses& adapter);
    QGroupBox* BuildTimingGroup();
    void ShowTiming(const SPaceOptions& pace);
    // The timing as the controls hold it; "" or what keeps OK off.
    std::string ReadTiming(SPaceOptions& pace) const;
    void OnTimingChanged();
    QGroupBox* BuildListenGroup();
    void ShowOptions(const SSendOptions& options);
    void OnChanged();
    void OnDefaults();
    void FitToScreen();
    void OnDiscover();

    QVBoxLayout* m_pGroups = nullptr;
    QScrollArea* m_pScroll = nullptr;
    QCheckBox* m_pDstMacOn = nullptr;
    QLineEdit* m_pDstMac = nullptr;
    QCheckBox* m_pAlsoBroadcasts = nullptr;
    QComboBox* m_pSrcMacFrom = nullptr;
    QLineEdit* m_pSrcMac = nullptr;
    QCheckBox* m_pDstIpOn = nullptr;
    QLineEdit* m_pDstIp = nullptr;
    QLineEdit* m_pDstPort = nullptr;
    QComboBox* m_pSrcIpFrom = nullptr;
    QLineEdit* m_pSrcIp = nullptr;
    QLineEdit* m_pSrcPort = nullptr;
    QComboBox* m_pRoute = nullptr;
    QLineEdit* m_pRouteTo = nullptr;
    std::string m_csAdapter;
    QPushButton* m_pDiscover = nullptr;
    QLabel* m_pDiscovered = nullptr; // what Discover found
    QTableWidget* m_pDevices = nullptr; // captured instance, bench instance; blank rows unused
    // The device table's maps; false (and a reason in pcsWhy) when a row does not read.
    bool ReadDevices(std::vector<SDeviceMap>& devices, std::string* pcsWhy = nullptr) const;
    // Timing
    QComboBox* m_pPace = nullptr;
    QLineEdit* m_pPaceValue = nullptr;
    QLabel* m_pPaceUnit = nullptr;
    QString m_aqsPaceValues[4]; // what each pace's field held, kept across a change of pace
    int m_iPaceShown = 0;
    QComboBox* m_pRepeat = nullptr;
    QLineEdit* m_pRounds = nullptr;
    QLineEdit* m_pPauseMs = nullptr;
    QCheckBox* m_pDurationOn = nullptr;
    QLineEdit* m_pDuration = nullptr;
    QCheckBox* m_pListen = nullptr;
    QDoubleSpinBox* m_pListenWait = nullptr;
    QCheckBox* m_pExpectCaptured = nullptr;
    QComboBox* m_pCompare = nullptr; // EAnswerCompare's order
    QLineEdit* m_pVolatileFile = nullptr;
    QCheckBox* m_pRequestsOnly = nullptr;
    QCheckBox* m_pKeepChecksums = nullptr; // beside it: wrong checksums as captured
    // Conversing, under listening
    QCheckBox* m_pConverse = nullptr;
    QSpinBox* m_pConverseWindow = nullptr;
    QSpinBox* m_pApduTimeout = nullptr;
    QSpinBox* m_pRetries = nullptr;
    QSpinBox* m_pGiveUp = nullptr;
    QLabel* m_pProblem = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
};

// Shows the window modally; replaceable, so tests can answer it.
class ISendOptionsDialog {
public:
    virtual ~ISendOptionsDialog() = default;
    // True when the user chose OK; options then holds the choice.
    virtual bool Edit(QWidget* pOwner, SSendOptions& options, const std::string& csAdapter,
        const SAdapterAddresses& adapter)
        = 0;
};

class CQtSendOptionsDialog final : public ISendOptionsDialog {
public:
    bool Edit(QWidget* pOwner, SSendOptions& options, const std::string& csAdapter,
        const SAdapterAddresses& adapter) override;
};

void SetSendOptionsDialog(ISendOptionsDialog* pDialog); // not owned; nullptr restores Qt's
ISendOptionsDialog& GetSendOptionsDialog();

} // namespace velmora
