#pragma once

#include "serve/ServeSession.h"

#include <QTimer>
#include <QWidget>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace velmora {

// Capture > Serve as the captured device: answers clients as the devices of
// the capture did (serve/), on the adapter chosen in the main window. Start
// and Stop, the counts, the last requests, and "Save served list…" (the TSV
// lines velmora-replay --serve prints). A window of its own; it decides
// nothing, the session does.
class CServeWnd final : public QWidget {
    Q_OBJECT
public:
    explicit CServeWnd(QWidget* pParent = nullptr);
    ~CServeWnd() override;

    // The capture to learn and the adapter to serve on, as the main window has them.
    void SetCapture(const std::string& csCapture, const std::string& csAdapter);

    void OnStart();
    void OnStop();
    void OnSave();
    // Shows the session's state; every 100 ms while it runs.
    void OnTick();

    QPushButton* StartButton() const { return m_pStart; }
    QPushButton* StopButton() const { return m_pStop; }
    QPushButton* SaveButton() const { return m_pSave; }
    QLineEdit* DevicesField() const { return m_pDevices; }
    QCheckBox* ReadOnlyBox() const { return m_pReadOnly; }
    QCheckBox* HistoryBox() const { return m_pHistory; }
    QLabel* StatusLabel() const { return m_pStatus; }
    QLabel* CountsLabel() const { return m_pCounts; }
    QPlainTextEdit* LastRequests() const { return m_pLast; }
    const serve::CServeSession& Session() const { return m_session; }

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    serve::CServeSession m_session;
    std::string m_csCapture;
    std::string m_csAdapter;
    QTimer m_timer;
    QLabel* m_pSource = nullptr;
    QLineEdit* m_pDevices = nullptr;
    QCheckBox* m_pReadOnly = nullptr;
    QCheckBox* m_pHistory = nullptr;
    QPushButton* m_pStart = nullptr;
    QPushButton* m_pStop = nullptr;
    QPushButton* m_pSave = nullptr;
    QLabel* m_pStatus = nullptr;
    QLabel* m_pCounts = nullptr;
    QPlainTextEdit* m_pLast = nullptr;
};

} // namespace velmora
