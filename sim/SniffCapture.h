// Recording of the simulated plant's buses as pcap files (link type 147, the
// sniffer's pseudo-header): the cabinet bus from the hub's tap, and each module
// bus from the bytes passing its stand-in module.
//
//   <dir>/cabinet-bus.pcap        every frame the hub saw, with its source port
//   <dir>/module-bus-<X>.pcap     the module bus of cabinet X, both directions
#ifndef TVK_SIM_SNIFFCAPTURE_H
#define TVK_SIM_SNIFFCAPTURE_H

#include "Sniff.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tvksim {

class KespHub;
class PowerModuleSim;

class SniffCapture {
public:
    // Creates dir if needed. Throws std::runtime_error when it cannot write there.
    explicit SniffCapture(const std::string &dir);
    ~SniffCapture();   // flushes what the decoders still hold; the hooks must be gone by then
    SniffCapture(const SniffCapture &) = delete;
    SniffCapture &operator=(const SniffCapture &) = delete;

    // Installs the hub's tap hook (the hub must stop before this object goes).
    void attachHub(KespHub &hub);
    // Installs the module's wire hook; `cabinet` 'A'..'D' names the file; baud dates
    // the bytes of a chunk (0: unpaced).
    void attachModule(PowerModuleSim &module, char cabinet, unsigned baud);

    const std::string &dir() const { return dir_; }
    std::string cabinetBusFile() const { return dir_ + "/cabinet-bus.pcap"; }
    std::string moduleBusFile(char cabinet) const { return dir_ + "/module-bus-" + cabinet + ".pcap"; }

private:
    struct Line {
        std::mutex m;
        sniff::Decoder dec;
        sniff::PcapWriter pcap;
        std::vector<sniff::Event> events;
        explicit Line(sniff::Bus b, int64_t charUs) : dec(b, charUs) {}
    };
    int64_t toWall(int64_t monoUs) const { return monoUs + wallMinusMonoUs_; }
    void write(Line &l, sniff::Bus bus);   // l.m held

    std::string dir_;
    int64_t wallMinusMonoUs_ = 0;
    std::mutex hubM_;
    sniff::PcapWriter hubPcap_;
    std::vector<std::unique_ptr<Line>> modules_;
};

} // namespace tvksim

#endif
