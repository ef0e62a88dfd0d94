// Shows the About window on the current display for screenshots. With
// "hover" the real pointer is put on the link after a second. The window
// closes itself after the given number of seconds (default 10).
#include "about/AboutBox.h"
#include "about/CAboutBox.h"

#include <QApplication>
#include <QCursor>
#include <QTimer>

#include <cstdlib>
#include <cstring>

using namespace velmora;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    bool bHover = false;
    int iSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "hover") == 0)
            bHover = true;
        else
            iSeconds = std::atoi(argv[i]);
    }
    QTimer::singleShot(1000, [bHover] {
        auto* pBox = dynamic_cast<CAboutBox*>(QApplication::activeModalWidget());
        if (pBox && bHover)
            QCursor::setPos(pBox->webLink.mapToGlobal(QPoint(12, 6)));
        else
            QCursor::setPos(0, 0);
    });
    QTimer::singleShot(iSeconds * 1000, [] {
        if (auto* p = QApplication::activeModalWidget())
            p->close();
    });
    RunAboutBox(nullptr);
    return 0;
}
