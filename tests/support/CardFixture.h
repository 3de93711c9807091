// A whole card in the test process: private working directory with its key file,
// a pty module bus with the stand-in power module on the far end, the process-wide
// settings of the command line, and the system manager with both bus threads.
#ifndef TVK_CARDFIXTURE_H
#define TVK_CARDFIXTURE_H

#include "PowerModuleSim.h"
#include "PtyBench.h"
#include "TestSupport.h"
#include "Types.h"

#include <functional>
#include <memory>
#include <string>

class SystemMgr;
class DUVEXMgr;
class KESPMgr;
struct virtualNode_t;

namespace tvktest {

class CardFixture {
public:
    struct Options {
        int cabinet = 1;                // 1..4 (0: no valid cabinet, address 224)
        const char *mask = "1000";      // presence mask A B C D
        const char *modules = "18";     // addresses the stand-in answers for
        bool start = true;              // create the system manager at once
        bool cabinetBus = false;        // a pty cabinet bus (the test plays the other stations)
    };

    CardFixture();
    explicit CardFixture(const Options &o);
    ~CardFixture();   // orderly stop, then the stand-in, the pty and the directory

    void startCard();   // creates the system manager and waits until the module bus polls
    void stopCard();    // orderly stop (idempotent)

    SystemMgr *mgr() const { return mgr_; }
    DUVEXMgr *duvex() const;
    KESPMgr *kesp() const;
    tvksim::PowerModuleSim &sim() { return *sim_; }
    tvksim::PtyEnd &moduleBus() { return *pty_; }
    // The far end of the cabinet bus (Options::cabinetBus).
    tvksim::PtyEnd &cabinetBus() { return *kespPty_; }
    virtualNode_t *node(const char *id) const;

    // Polls pred every 10 ms (real time) until it holds or timeoutMs passed.
    static bool waitFor(const std::function<bool()> &pred, int timeoutMs);

private:
    Options opt_;
    std::unique_ptr<ScopedWorkDir> dir_;
    std::unique_ptr<tvksim::PtyEnd> pty_;
    std::unique_ptr<tvksim::PowerModuleSim> sim_;
    std::unique_ptr<tvksim::PtyEnd> kespPty_;
    std::string port_;
    std::string kespPort_;
    SystemMgr *mgr_ = nullptr;
};

} // namespace tvktest

#endif
