// A simulated plant on one machine: up to four real card processes, each with
// its stand-in power module on a module bus of its own, all joined on one
// cabinet bus (a multidrop hub), and the station that hands the master role
// over. Used by the tests, the benchmarks and the plant tool.
#ifndef TVK_SIM_PLANT_H
#define TVK_SIM_PLANT_H

#include "CardProcess.h"
#include "KespHub.h"
#include "KespStations.h"
#include "PowerModuleSim.h"
#include "PtyBench.h"

#include <memory>
#include <string>
#include <vector>

namespace tvksim {

struct PlantOptions {
    std::string program;              // tarvik-<profile> of every card (cardProgram overrides)
    std::vector<std::string> cardProgram;   // per cabinet index, empty = program
    std::string mask = "1111";        // cabinets present A B C D (cards run for the present ones)
    std::string baseDir;              // working directories card<letter> below it
    unsigned cabinetBaud = 9600;      // hub pacing (0: none)
    std::string moduleBaud = "115200";
    bool privateHome = true;
    std::vector<std::string> env = {"TARVIK_NO_MACHINE_ACTIONS=1"};
};

class Plant {
public:
    explicit Plant(const PlantOptions &o);   // starts everything; throws std::runtime_error
    ~Plant();                                // stops the station, the cards, the hub
    Plant(const Plant &) = delete;
    Plant &operator=(const Plant &) = delete;

    int cards() const { return int(cards_.size()); }
    // Index among the running cards of cabinet index 0..3, or -1 when that cabinet has no card.
    int cardOf(int cabinet) const;
    int cabinetOf(int card) const { return cabinet_[size_t(card)]; }
    uint8_t addrOf(int card) const { return uint8_t(0xEA + cabinet_[size_t(card)]); }
    CardProcess &card(int i) { return *cards_[size_t(i)]; }
    PowerModuleSim &module(int i) { return *mod_[size_t(i)]; }
    KespHub &hub() { return hub_; }
    HandoverStation &station() { return *station_; }
    // Tells the station which processes hear its breaks (call after a card restarts).
    void updatePids();

    // Waits until `addr` polls as master after tap entry `from`: its own BS query
    // and then a good broadcast answer of another station.
    bool pollsAsMaster(uint8_t addr, size_t from, int timeoutMs);
    // Whether a card's log holds `text`.
    bool logHas(int card, const std::string &text) const;

private:
    static HubOptions hubOptions(const PlantOptions &o);
    PlantOptions opt_;
    KespHub hub_;
    std::vector<int> cabinet_;
    std::vector<std::unique_ptr<PtyEnd>> bus_;
    std::vector<std::unique_ptr<PowerModuleSim>> mod_;
    std::vector<std::unique_ptr<CardProcess>> cards_;
    int stationFd_ = -1;
    std::unique_ptr<HandoverStation> station_;
};

} // namespace tvksim

#endif
