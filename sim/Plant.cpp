#include "Plant.h"

#include <csignal>
#include <cstdio>
#include <stdexcept>

namespace tvksim {

HubOptions Plant::hubOptions(const PlantOptions &o)
{
    HubOptions h;
    h.baud = o.cabinetBaud;
    return h;
}

Plant::Plant(const PlantOptions &o) : opt_(o), hub_(hubOptions(o))
{
    if (o.baseDir.empty())
        throw std::runtime_error("plant without base directory");
    for (int i = 0; i < 4; ++i) {
        if (size_t(i) >= o.mask.size() || o.mask[size_t(i)] != '1')
            continue;
        const char letter = char('A' + i);
        int port = hub_.addPtyPort(std::string(), std::string("card ") + letter);
        bus_.emplace_back(new PtyEnd());
        mod_.emplace_back(new PowerModuleSim(*bus_.back()));
        CardSpec spec;
        spec.program = size_t(i) < o.cardProgram.size() && !o.cardProgram[size_t(i)].empty()
                           ? o.cardProgram[size_t(i)]
                           : o.program;
        spec.modulePort = bus_.back()->path();
        spec.cabinetPort = hub_.path(port);
        spec.baud = o.moduleBaud;
        spec.cabinet = i + 1;
        spec.mask = o.mask;
        spec.workDir = o.baseDir + "/card" + letter;
        spec.privateHome = o.privateHome;
        spec.env = o.env;
        cabinet_.push_back(i);
        cards_.emplace_back(new CardProcess(spec));
    }
    stationFd_ = hub_.attachLocal("station");
    station_.reset(new HandoverStation(stationFd_, HandoverPlan(), &hub_));
    updatePids();
}

Plant::~Plant()
{
    if (station_)
        station_->stop();
    // Orderly stops first, so that every card removes its segment itself.
    for (auto &c : cards_)
        c->signal(SIGTERM);
    for (auto &c : cards_)
        c->stop(5000);
    cards_.clear();
    mod_.clear();
    bus_.clear();
    hub_.stop();
}

int Plant::cardOf(int cabinet) const
{
    for (size_t k = 0; k < cabinet_.size(); ++k)
        if (cabinet_[k] == cabinet)
            return int(k);
    return -1;
}

void Plant::updatePids()
{
    std::vector<pid_t> pids;
    for (auto &c : cards_)
        if (c->running())
            pids.push_back(c->pid());
    station_->setPids(pids);
}

bool Plant::pollsAsMaster(uint8_t addr, size_t from, int timeoutMs)
{
    TapEntry own;
    if (!hub_.waitTap([&](const TapEntry &e) { return e.is('B', 'S') && e.h.src == addr && e.h.dest == addr; },
                      timeoutMs, &own, from))
        return false;
    return hub_.waitTap(
        [&](const TapEntry &e) {
            return e.is('B', 'S') && e.h.src != addr && e.h.dest == kesp::BROADCAST && e.checkOk;
        },
        timeoutMs, nullptr, own.seq);
}

bool Plant::logHas(int card, const std::string &text) const
{
    FILE *f = fopen(cards_[size_t(card)]->logPath().c_str(), "r");
    if (!f)
        return false;
    std::string all;
    char buf[65536];
    size_t n;
    bool found = false;
    while (!found && (n = fread(buf, 1, sizeof buf, f)) > 0) {
        all.append(buf, n);
        found = all.find(text) != std::string::npos;
        if (all.size() > text.size())
            all.erase(0, all.size() - text.size());
    }
    fclose(f);
    return found;
}

} // namespace tvksim
