#include "SniffCapture.h"

#include "KespHub.h"
#include "PowerModuleSim.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace tvksim {

namespace {
int64_t monoNow()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
int64_t wallNow()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
} // namespace

SniffCapture::SniffCapture(const std::string &dir) : dir_(dir)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("capture directory " + dir + ": " + strerror(errno));
    if (!hubPcap_.open(cabinetBusFile()))
        throw std::runtime_error("cannot write " + cabinetBusFile() + ": " + strerror(errno));
    wallMinusMonoUs_ = wallNow() - monoNow();
}

SniffCapture::~SniffCapture()
{
    for (auto &l : modules_) {
        std::lock_guard<std::mutex> lk(l->m);
        l->dec.flush(l->events);
        write(*l, sniff::Bus::Duvex);
    }
}

void SniffCapture::write(Line &l, sniff::Bus bus)
{
    for (sniff::Event &e : l.events)
        l.pcap.write(e, bus, toWall(e.us));
    l.events.clear();
}

void SniffCapture::attachHub(KespHub &hub)
{
    hub.setTapHook([this](const TapEntry &t) {
        sniff::Event e;
        if (t.kind == TapEntry::Break) {
            e.kind = sniff::Event::Break;
        } else if (t.kind == TapEntry::FrameSeen) {
            if (!sniff::parseFrame(sniff::Bus::Kesp, t.bytes.data(), t.bytes.size(), e.frame)) {
                e.kind = sniff::Event::NoiseSeen;
                e.noise.bytes = t.bytes;
                e.noise.firstUs = t.firstUs;
                e.noise.lastUs = t.lastUs;
                e.noise.brokenFrame = true;
            }
            e.frame.firstUs = t.firstUs;
            e.frame.lastUs = t.lastUs;
            e.frame.port = t.port;
            e.frame.collided = t.collided;
        } else {
            return;   // notes are the hub's own remarks, not line traffic
        }
        std::lock_guard<std::mutex> lk(hubM_);
        hubPcap_.write(e, sniff::Bus::Kesp, toWall(t.firstUs));
    });
}

void SniffCapture::attachModule(PowerModuleSim &module, char cabinet, unsigned baud)
{
    const int64_t charUs = baud ? int64_t(10) * 1000000 / baud : 0;
    modules_.emplace_back(new Line(sniff::Bus::Duvex, charUs));
    Line *l = modules_.back().get();
    if (!l->pcap.open(moduleBusFile(cabinet)))
        throw std::runtime_error("cannot write " + moduleBusFile(cabinet) + ": " + strerror(errno));
    module.setWireHook([this, l](bool, const uint8_t *p, size_t n, int64_t lastUs) {
        std::lock_guard<std::mutex> lk(l->m);
        l->dec.expire(lastUs, l->events);
        l->dec.feed(p, n, lastUs, l->events);
        write(*l, sniff::Bus::Duvex);
    });
}

} // namespace tvksim
