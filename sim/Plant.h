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
#include "SniffCapture.h"

#include <memory>
#include <string>
#include <vector>

namespace tvksim {

struct PlantOptions {
    std::string program;              // tarvik-<profile> of every card (cardProgram overrides)
    std::vector<std::string> cardProgram;   // per cabinet index, empty = program
    std::string mask = "1111";        // cabinets present A B C D (cards run for the present ones)
    // Per cabinet index: the presence mask that card is given instead of `mask`
    // (empty = mask), e.g. for a card of another plant that shares the bus.
    std::vector<std::string> cardMask;
    std::string baseDir;              // working directories card<letter> below it
    unsigned cabinetBaud = 9600;      // hub pacing (0: none)
    std::string moduleBaud = "115200";
    bool privateHome = true;
    std::vector<std::string> env = {"TARVIK_NO_MACHINE_ACTIONS=1"};
    bool muBoards = false;            // the MU boards (0x0A + i) of the present cabinets on the bus
    HandoverPlan handover;            // the station's policy from the start (Manual by default)
    std::string captureDir;           // non-empty: record the buses there as pcap files (SniffCapture)
};

// What the live summary shows of one card.
struct CardSummary {
    char cabinet = '?';
    bool running = false;
    int exitStatus = -1;              // wait status once the card ended
    int role = -1;                    // from the log: 1 master, 0 slave, -1 not known
    bool polling = false;             // sent a BS query on the bus within the last 5 s
    bool tree = false;                // its tree was readable (segment present, same record layout)
    int moduleAlarm = -1;             // own module's alarm level in the cabinet record (0 = lost)
    int moduleCode = -1;              // own module's status code (-1: none in this layout)
    int systemCode = -1;              // system record's status code
    bool vu = false;                  // vu.json present
    double vuAgeS = -1;               // seconds since vu.json was last written
    std::vector<std::string> alarms;  // names in its statusAlarms list
    bool upsFailure = false;
    std::string vuPath, logPath, keyFile;
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
    // The hub port of card i's cabinet-bus line.
    int hubPort(int card) const { return hubPort_[size_t(card)]; }
    // Card i's module-bus device vanishes (the stand-in stops, the pty master
    // closes, the link goes) and later comes back at the same path with a fresh
    // stand-in in the old one's state. module(i) must not be used in between.
    void vanishModulePort(int card);
    void reopenModulePort(int card);
    // Tells the station which processes hear its breaks (call after a card restarts).
    void updatePids();

    // Waits until `addr` polls as master after tap entry `from`: its own BS query
    // and then a good broadcast answer of another station.
    bool pollsAsMaster(uint8_t addr, size_t from, int timeoutMs);
    // Whether a card's log holds `text`.
    bool logHas(int card, const std::string &text) const;

    // Starts card i again (after a stop, kill or crash) and tells the station.
    void restartCard(int card);
    // A line break on the cabinet bus: every running card gets SIGINT.
    void busBreak();
    // Where card i writes its status document (its private /home/kelmo).
    std::string vuJsonPath(int card) const;
    // Whether this program reads card i's tree records (same record layout).
    bool treeReadable(int card) const;
    // The card's state for the live summary (reads its log, tree and vu.json).
    CardSummary summary(int card);
    // The alarm names of a status document's list and its UPSFAILURE value.
    static bool parseVuAlarms(const std::string &doc, std::vector<std::string> &alarms, bool &upsFailure);

private:
    static HubOptions hubOptions(const PlantOptions &o);
    PlantOptions opt_;
    std::unique_ptr<SniffCapture> capture_;   // before hub_ and the modules: outlives their hooks
    KespHub hub_;
    std::vector<int> cabinet_;
    std::vector<int> hubPort_;
    std::vector<std::string> modPath_;
    std::vector<ModuleState> modKept_;
    std::vector<std::unique_ptr<PtyEnd>> bus_;
    std::vector<std::unique_ptr<PowerModuleSim>> mod_;
    std::vector<std::unique_ptr<CardProcess>> cards_;
    int stationFd_ = -1;
    std::unique_ptr<HandoverStation> station_;
    std::vector<std::unique_ptr<MuBoardSim>> mu_;
    std::vector<long> logOffset_;   // bytes of each card's log already scanned for the role
    std::vector<int> role_;
};

} // namespace tvksim

#endif
