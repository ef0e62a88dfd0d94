#pragma once

#include "res/LineBreaks.h"

#include "about/LinkButton.h"

#include <QDialog>

#include <map>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace velmora {

// The About window: version text and notice, the link to the maker's site, the
// banner and the feedback form. Made anew for every showing.
class CAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit CAboutBox(QWidget* pParent = nullptr);
    ~CAboutBox() override;

    // Members to controls (bSave false) or controls to members (bSave true).
    void DoDataExchange(bool bSave);

    // Fills the controls from the members, then runs the window modally.
    int DoModal();

    void OnSendFeedback(); // the "Send" button
    void OnBanner(); // a click on the banner
    void OnOK(); // the "Exit" button: reads the controls and closes

    // The controls by their template id, the link's included; for tests.
    QWidget* Control(int iId) const;

    CLinkButton webLink;
    std::string csComments;
    std::string csVersionInfo;

protected:
    bool eventFilter(QObject* pWatched, QEvent* e) override;

private:
    std::map<int, QWidget*> m_controls;
    QPlainTextEdit* m_pComments = nullptr;
    QPlainTextEdit* m_pVersionInfo = nullptr;
    QLabel* m_pBanner = nullptr;
};

// "Velmora v1.00aB", "Last Updated ...", the notice and the revision table,
// every line ending in "\r\n".
std::string AboutVersionInfo();
// The link's "ref": "Velmora (1.00aB)".
std::string AboutLinkRef();

} // namespace velmora
