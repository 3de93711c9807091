#include "Plant.h"

#include "VirtualUPSMgr.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <time.h>

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
    if (!o.captureDir.empty()) {
        capture_.reset(new SniffCapture(o.captureDir));
        capture_->attachHub(hub_);
    }
    for (int i = 0; i < 4; ++i) {
        if (size_t(i) >= o.mask.size() || o.mask[size_t(i)] != '1')
            continue;
        const char letter = char('A' + i);
        int port = hub_.addPtyPort(std::string(), std::string("card ") + letter);
        bus_.emplace_back(new PtyEnd());
        mod_.emplace_back(new PowerModuleSim(*bus_.back()));
        // A module answers at its line's pace, as a real one does: an unpaced stand-in
        // would let the card poll it flat out and fill its log and a core with it.
        mod_.back()->setBaud(unsigned(std::stoul(o.moduleBaud)));
        if (capture_)
            capture_->attachModule(*mod_.back(), letter, unsigned(std::stoul(o.moduleBaud)));
        CardSetup setup;
        setup.program = size_t(i) < o.cardProgram.size() && !o.cardProgram[size_t(i)].empty()
                           ? o.cardProgram[size_t(i)]
                           : o.program;
        setup.modulePort = bus_.back()->path();
        setup.cabinetPort = hub_.path(port);
        setup.baud = o.moduleBaud;
        setup.cabinet = i + 1;
        setup.mask = size_t(i) < o.cardMask.size() && !o.cardMask[size_t(i)].empty() ? o.cardMask[size_t(i)] : o.mask;
        setup.workDir = o.baseDir + "/card" + letter;
        setup.privateHome = o.privateHome;
        setup.env = o.env;
        cabinet_.push_back(i);
        hubPort_.push_back(port);
        modPath_.push_back(bus_.back()->path());
        cards_.emplace_back(new CardProcess(setup));
    }
    if (o.muBoards)
        for (int i = 0; i < 4; ++i)
            if (size_t(i) < o.mask.size() && o.mask[size_t(i)] == '1')
                mu_.emplace_back(new MuBoardSim(hub_.attachLocal(std::string("MU ") + char('A' + i)), i));
    logOffset_.assign(cards_.size(), 0);
    role_.assign(cards_.size(), -1);
    stationFd_ = hub_.attachLocal("station");
    station_.reset(new HandoverStation(stationFd_, HandoverPlan(), &hub_));
    updatePids();
    if (o.handover.policy != HandoverPolicy::Manual)
        station_->setPlan(o.handover);
}

Plant::~Plant()
{
    if (station_)
        station_->stop();
    for (auto &m : mu_)
        m->stop();
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

void Plant::restartCard(int card)
{
    cards_[size_t(card)]->restart();
    role_[size_t(card)] = -1;
    updatePids();
}

void Plant::vanishModulePort(int card)
{
    const size_t i = size_t(card);
    if (!mod_[i])
        return;
    if (modKept_.size() < mod_.size())
        modKept_.resize(mod_.size());
    mod_[i]->stop();
    modKept_[i] = mod_[i]->state();
    mod_[i].reset();
    bus_[i].reset();   // closes the master, removes the link
}

void Plant::reopenModulePort(int card)
{
    const size_t i = size_t(card);
    if (mod_[i])
        return;
    bus_[i].reset(new PtyEnd(modPath_[i]));
    mod_[i].reset(new PowerModuleSim(*bus_[i]));
    mod_[i]->setState(modKept_[i]);
    mod_[i]->setBaud(unsigned(std::stoul(opt_.moduleBaud)));
}

void Plant::busBreak()
{
    hub_.noteBreak("plant");
    for (auto &c : cards_)
        c->signal(SIGINT);
}

std::string Plant::vuJsonPath(int card) const
{
    const CardProcess &c = *cards_[size_t(card)];
    return c.setup().privateHome ? c.homeDir() + "/vu.json" : std::string("/home/kelmo/vu.json");
}

bool Plant::treeReadable(int card) const
{
    const std::string &prog = cards_[size_t(card)]->setup().program;
    const bool modularCard = prog.find("tarvik-modular") != std::string::npos;
#if defined(TVK_MODULAR)
    return modularCard;
#else
    return !modularCard;
#endif
}

bool Plant::parseVuAlarms(const std::string &doc, std::vector<std::string> &alarms, bool &upsFailure)
{
    alarms.clear();
    size_t a = doc.find("\"statusAlarms\":[");
    if (a == std::string::npos)
        return false;
    size_t end = doc.find(']', a);
    if (end == std::string::npos)
        return false;
    size_t p = doc.find('"', a + 15);
    while (p != std::string::npos && p < end) {
        size_t q = doc.find('"', p + 1);
        if (q == std::string::npos || q > end)
            break;
        alarms.push_back(doc.substr(p + 1, q - p - 1));
        p = doc.find('"', q + 1);
    }
    size_t f = doc.find("\"UPSFAILURE\": ", end);
    if (f == std::string::npos)
        return false;
    upsFailure = doc.compare(f + 14, 4, "true") == 0;
    return true;
}

CardSummary Plant::summary(int card)
{
    CardProcess &c = *cards_[size_t(card)];
    CardSummary s;
    const char letter = char('A' + cabinet_[size_t(card)]);
    s.cabinet = letter;
    s.running = c.running();
    s.exitStatus = c.exitStatus();
    s.vuPath = vuJsonPath(card);
    s.logPath = c.logPath();
    s.keyFile = c.keyFile();

    // Role: the last change of state the card logged since the part already read.
    if (FILE *f = fopen(s.logPath.c_str(), "r")) {
        // A log that grew by much since the last look: only its tail is read.
        struct stat ls;
        if (fstat(fileno(f), &ls) == 0 && ls.st_size - logOffset_[size_t(card)] > (4L << 20)) {
            logOffset_[size_t(card)] = long(ls.st_size) - (256L << 10);
            if (fseek(f, logOffset_[size_t(card)], SEEK_SET) == 0) {
                char skip[4096];
                if (fgets(skip, sizeof skip, f))
                    logOffset_[size_t(card)] += long(strlen(skip));
            }
        }
        if (fseek(f, logOffset_[size_t(card)], SEEK_SET) == 0) {
            static const char key[] = "ThreadKESP Dbg (setState): oldState:";
            char line[4096];
            while (fgets(line, sizeof line, f)) {
                size_t n = strlen(line);
                if (n == 0 || line[n - 1] != '\n')
                    break;   // a line still being written: read it next time
                logOffset_[size_t(card)] += long(n);
                const char *k = strstr(line, key);
                if (k && (k = strstr(k, "newState:")))
                    role_[size_t(card)] = atoi(k + 9) == 1 ? 1 : 0;
            }
        }
        fclose(f);
    }
    s.role = role_[size_t(card)];

    // Polling: its own BS queries on the bus.
    int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    const uint8_t addr = addrOf(card);
    for (const TapEntry &e : hub_.tapSince(hub_.tapCount() > 200 ? hub_.tapCount() - 200 : 0))
        if (e.is('B', 'S') && e.h.src == addr && e.h.dest != kesp::BROADCAST && nowUs - e.lastUs < 5000000)
            s.polling = true;

    if (s.running && treeReadable(card)) {
        TreeAttach t;
        if (t.attach(s.keyFile)) {
            char id[16];
            snprintf(id, sizeof id, "S%c.B%c", letter, letter);
            virtualNode_t *box = t.node(id);
            snprintf(id, sizeof id, "S%c.B%c.M1", letter, letter);
            virtualNode_t *mod = t.node(id);
            // The system node stands first in the array, where the cabinet node's index leads.
            virtualNode_t *sys = box && box->idx < MAXVIRTUALNODES ? box - box->idx : nullptr;
            if (sys && strncmp(sys->ID, id, 2) != 0)
                sys = nullptr;
            if (box && sys) {
                s.tree = true;
                s.moduleAlarm = int(box->desc.upsBox.subSystem.UPSShelter[0].alarmSt);
#if !defined(TVK_MODULAR)
                if (mod)
                    s.moduleCode = int(mod->desc.module.data.statusCode);
                s.systemCode = int(sys->desc.sys.Ups.statusCode);
#else
                (void)mod;
#endif
            }
        }
    }

    struct stat st;
    if (stat(s.vuPath.c_str(), &st) == 0) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        s.vuAgeS = double(now.tv_sec - st.st_mtim.tv_sec) + double(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
        if (FILE *f = fopen(s.vuPath.c_str(), "r")) {
            std::string doc;
            char buf[8192];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0 && doc.size() < 65536)
                doc.append(buf, n);
            fclose(f);
            s.vu = parseVuAlarms(doc, s.alarms, s.upsFailure);
        }
    }
    return s;
}

} // namespace tvksim
