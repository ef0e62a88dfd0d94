#pragma once

#include <QApplication>

namespace velmora {

// Owns the application; runs the main window modally and ends with it.
class CReplayApp : public QApplication {
public:
    CReplayApp(int& argc, char** argv);
    ~CReplayApp() override;
    int InitInstance();
};

} // namespace velmora
