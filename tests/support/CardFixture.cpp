#include "CardFixture.h"

#include "Globals.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace tvktest {

CardFixture::CardFixture() : CardFixture(Options()) {}

CardFixture::CardFixture(const Options &o) : opt_(o)
{
    dir_.reset(new ScopedWorkDir(true));
    pty_.reset(new tvksim::PtyEnd());
    sim_.reset(new tvksim::PowerModuleSim(*pty_, o.modules));
    port_ = pty_->path();

    serialPort = port_.c_str();
    if (o.cabinetBus) {
        kespPty_.reset(new tvksim::PtyEnd());
        kespPort_ = kespPty_->path();
        serialPortKESP = kespPort_.c_str();
    } else {
        serialPortKESP = "/dev/ttyTVKnone";
    }
    deviceBaudRate = 115200;
    KESPAddr = (o.cabinet >= 1 && o.cabinet <= 4) ? uint8(233 + o.cabinet) : uint8(224);
    int v = atoi(o.mask);
    moduleApresent = ((v / 1000) & 1) != 0;
    moduleBpresent = ((v / 100) & 1) != 0;
    moduleCpresent = ((v / 10) & 1) != 0;
    moduleDpresent = (v & 1) != 0;
    needRestart = false;
    if (o.start)
        startCard();
}

CardFixture::~CardFixture()
{
    stopCard();
    sim_.reset();
    pty_.reset();
    kespPty_.reset();
    dir_.reset();
    serialPort = nullptr;
    serialPortKESP = nullptr;
}

void CardFixture::startCard()
{
    if (mgr_)
        return;
    mgr_ = new SystemMgr();
    // Registration runs in the cabinet-bus thread; the module bus then leaves Idle.
    if (!waitFor([this] { return mgr_->pThDuvex && mgr_->pThDuvex->getState() == MasterDuvex; }, 10000))
        throw std::runtime_error("card did not start");
}

void CardFixture::stopCard()
{
    if (!mgr_)
        return;
    delete mgr_;
    mgr_ = nullptr;
    pSysMgr = nullptr;
}

DUVEXMgr *CardFixture::duvex() const { return mgr_ ? mgr_->pThDuvex : nullptr; }
KESPMgr *CardFixture::kesp() const { return mgr_ ? mgr_->pThKESP : nullptr; }

virtualNode_t *CardFixture::node(const char *id) const
{
    if (!mgr_ || !mgr_->pVirtualUPSMgr)
        return nullptr;
    return mgr_->pVirtualUPSMgr->searchNode(id);
}

bool CardFixture::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace tvktest
