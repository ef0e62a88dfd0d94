#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

class QSocketNotifier;

namespace velmora {

// The number carried by the instance query and its answer, made from the
// name "Velmora 097": the same in every process, so each side can check it.
uint32_t InstanceQueryMessage();

// Where the lock and the socket live: $XDG_RUNTIME_DIR, else a private folder
// /tmp/velmora-<uid> (mode 0700). "" when no safe folder can be had.
std::string InstanceFolder();
std::string InstanceLockPath(); // .../Velmora 098
std::string InstanceSocketPath(); // .../Velmora 097

// Takes the lock "Velmora 098". True for the first instance, which keeps the
// lock until it exits. False when another instance holds it: that one has
// then been asked (within 500 ms) to come forward.
bool ClaimFirstInstance();

// Ends a second instance with exit code 0 before any window, log or setting
// is touched.
void GuardSingleInstance();

// True once ClaimFirstInstance has taken the lock in this process.
bool InstanceLockHeld();

// The first instance's side of the query: answers a well-formed query with its
// own number and reports it; drops anything else within a second.
class CInstanceServer : public QObject {
    Q_OBJECT
public:
    explicit CInstanceServer(std::function<void()> onQuery, QObject* pParent = nullptr);
    ~CInstanceServer() override;
    bool Listening() const { return m_iFd >= 0; }

private:
    void OnAccept();

    std::function<void()> m_onQuery;
    int m_iFd = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};

} // namespace velmora
