#include "Scenario.h"

#include "Plant.h"
#include "VUPanel.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tvksim {

namespace {

enum class Arg { None, Field, Panel, Policy };

struct VerbRow {
    const char *name;
    bool cabinet;   // needs a cabinet letter (true) or takes none (false)
    Arg args;
};

// Every event the player knows, with what it needs.
const VerbRow kVerbs[] = {
    {"mains-fail", true, Arg::None},    {"mains-restore", true, Arg::None}, {"battery-low", true, Arg::None},
    {"bypass", true, Arg::None},        {"inverter", true, Arg::None},      {"module-fault", true, Arg::None},
    {"module-ok", true, Arg::None},     {"module-silent", true, Arg::None}, {"module-back", true, Arg::None},
    {"set", true, Arg::Field},          {"panel", true, Arg::Panel},        {"card-stop", true, Arg::None},
    {"card-kill", true, Arg::None},     {"card-restart", true, Arg::None},  {"handover", true, Arg::None},
    {"bus-break", false, Arg::None},    {"policy", false, Arg::Policy},     {"end", false, Arg::None},
};

const VerbRow *findVerb(const std::string &v)
{
    for (const auto &r : kVerbs)
        if (v == r.name)
            return &r;
    return nullptr;
}

const char *const kFields[] = {"vin", "vout", "load", "watt", "va", "temp", "charge", "autonomy"};

bool knownField(const std::string &f)
{
    for (const char *k : kFields)
        if (f == k)
            return true;
    return false;
}

// A whole non-negative integer up to max.
bool parseUnsigned(const std::string &s, unsigned long max, unsigned long &out)
{
    if (s.empty() || s.size() > 10)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    out = strtoul(s.c_str(), nullptr, 10);
    return out <= max;
}

// Seconds with up to three decimals, below one day.
bool parseSeconds(const std::string &s, int64_t &ms)
{
    if (s.empty() || s.size() > 12)
        return false;
    int64_t whole = 0, frac = 0;
    int fracDigits = 0;
    bool dot = false, digits = false;
    for (char c : s) {
        if (c == '.' && !dot) {
            dot = true;
            continue;
        }
        if (c < '0' || c > '9')
            return false;
        digits = true;
        if (dot) {
            if (++fracDigits > 3)
                return false;
            frac = frac * 10 + (c - '0');
        } else {
            whole = whole * 10 + (c - '0');
        }
    }
    if (!digits)
        return false;
    while (fracDigits++ < 3)
        frac *= 10;
    ms = whole * 1000 + frac;
    return whole < 86400;
}

bool checkArgs(const VerbRow &r, const std::vector<std::string> &a, std::string &why)
{
    switch (r.args) {
    case Arg::None:
        if (!a.empty()) {
            why = std::string("\"") + r.name + "\" takes no arguments";
            return false;
        }
        return true;
    case Arg::Field: {
        unsigned long v;
        if (a.size() != 2 || !knownField(a[0])) {
            why = "set needs FIELD VALUE (vin, vout, load, watt, va, temp, charge, autonomy)";
            return false;
        }
        if (!parseUnsigned(a[1], 65535, v)) {
            why = "bad value \"" + a[1] + "\" (0..65535)";
            return false;
        }
        return true;
    }
    case Arg::Panel: {
        uint8_t cmd;
        unsigned long d;
        if (a.empty() || a.size() > 3) {
            why = "panel needs COMMAND [DELAY_SHUT [DELAY_REBOOT]]";
            return false;
        }
        if (!vupanel::parseCommand(a[0], cmd)) {
            why = "unknown panel command \"" + a[0] + "\"";
            return false;
        }
        for (size_t i = 1; i < a.size(); ++i)
            if (!parseUnsigned(a[i], 65535, d)) {
                why = "bad delay \"" + a[i] + "\" (0..65535 s)";
                return false;
            }
        return true;
    }
    case Arg::Policy: {
        if (a.empty() || a.size() > 2) {
            why = "policy needs manual|once|rotate|silence [SECONDS]";
            return false;
        }
        HandoverPlan p;
        std::string err;
        int64_t ms = 0;
        if (a.size() == 2 && !parseSeconds(a[1], ms)) {
            why = "bad seconds \"" + a[1] + "\"";
            return false;
        }
        if (!makeHandoverPlan(a[0], double(ms) / 1000.0, {0}, p, err)) {
            why = err;
            return false;
        }
        return true;
    }
    }
    return false;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> w;
    std::istringstream in(line);
    std::string s;
    while (in >> s)
        w.push_back(s);
    return w;
}

} // namespace

bool makeHandoverPlan(const std::string &policy, double seconds, const std::vector<int> &targets,
                      HandoverPlan &plan, std::string &err)
{
    HandoverPlan p;
    if (seconds < 0 || seconds > 86400) {
        err = "seconds out of range";
        return false;
    }
    const unsigned ms = unsigned(std::lround(seconds * 1000.0));
    if (policy == "manual")
        p.policy = HandoverPolicy::Manual;
    else if (policy == "once")
        p.policy = HandoverPolicy::Once;
    else if (policy == "rotate") {
        p.policy = HandoverPolicy::Rotate;
        if (ms)
            p.periodMs = ms < 2000 ? 2000 : ms;
    } else if (policy == "silence") {
        p.policy = HandoverPolicy::OnSilence;
        if (ms)
            p.silenceMs = ms < 1000 ? 1000 : ms;
    } else {
        err = "unknown policy \"" + policy + "\" (manual, once, rotate, silence)";
        return false;
    }
    for (int t : targets) {
        if (t < 0 || t > 3) {
            err = "bad target cabinet";
            return false;
        }
        p.targets.push_back(uint8_t(0xEA + t));
    }
    if (p.policy != HandoverPolicy::Manual && p.targets.empty()) {
        err = "the policy needs at least one target cabinet";
        return false;
    }
    plan = p;
    return true;
}

bool parseScenario(const std::string &text, const std::string &mask, std::vector<ScenarioEvent> &events,
                   std::string &err)
{
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    int64_t lastMs = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = raw.substr(0, raw.find('#'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> w = words(line);
        if (w.empty())
            continue;
        auto fail = [&](const std::string &why) {
            err = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        ScenarioEvent e;
        e.line = lineNo;
        e.text = line;
        if (!parseSeconds(w[0], e.atMs))
            return fail("bad time \"" + w[0] + "\" (seconds from the start, e.g. 10 or 12.5)");
        if (e.atMs < lastMs)
            return fail("time " + w[0] + " is before the time of the line above");
        size_t at = 1;
        if (at < w.size() && w[at].size() == 1 && w[at][0] >= 'A' && w[at][0] <= 'D') {
            e.cabinet = w[at][0] - 'A';
            ++at;
        }
        if (at >= w.size())
            return fail("no event after the time");
        e.verb = w[at++];
        e.args.assign(w.begin() + long(at), w.end());
        const VerbRow *r = findVerb(e.verb);
        if (!r)
            return fail("unknown event \"" + e.verb + "\"");
        if (r->cabinet && e.cabinet < 0)
            return fail("\"" + e.verb + "\" needs a cabinet letter A..D before it");
        if (!r->cabinet && e.cabinet >= 0)
            return fail("\"" + e.verb + "\" is an event of the whole plant (no cabinet letter)");
        if (e.cabinet >= 0 && !mask.empty() && (size_t(e.cabinet) >= mask.size() || mask[size_t(e.cabinet)] != '1'))
            return fail(std::string("cabinet ") + char('A' + e.cabinet) + " is not in the plant (mask " + mask + ")");
        std::string why;
        if (!checkArgs(*r, e.args, why))
            return fail(why);
        lastMs = e.atMs;
        events.push_back(e);
    }
    return true;
}

bool loadScenario(const std::string &path, const std::string &mask, std::vector<ScenarioEvent> &events,
                  std::string &err)
{
    std::ifstream f(path);
    if (!f) {
        err = path + ": cannot read";
        return false;
    }
    std::ostringstream all;
    all << f.rdbuf();
    if (!parseScenario(all.str(), mask, events, err)) {
        err = path + ": " + err;
        return false;
    }
    return true;
}

ScenarioPlayer::ScenarioPlayer(Plant &plant, std::vector<ScenarioEvent> events,
                               std::function<void(const std::string &)> log)
    : plant_(plant), events_(std::move(events)), log_(std::move(log))
{
}

int64_t ScenarioPlayer::untilNext(int64_t nowMs) const
{
    if (ended_ || next_ >= events_.size())
        return -1;
    int64_t d = events_[next_].atMs - nowMs;
    return d < 0 ? 0 : d;
}

bool ScenarioPlayer::play(int64_t nowMs)
{
    while (!ended_ && next_ < events_.size() && events_[next_].atMs <= nowMs) {
        const ScenarioEvent &e = events_[next_++];
        std::string why;
        bool ok = apply(plant_, e, why);
        if (log_) {
            char head[32];
            snprintf(head, sizeof head, "%7.1f s ", double(nowMs) / 1000.0);
            log_(std::string(head) + e.text + (ok ? "" : "  (not done: " + why + ")"));
        }
        if (e.verb == "end")
            ended_ = true;
    }
    return !ended_;
}

bool ScenarioPlayer::apply(Plant &plant, const ScenarioEvent &e, std::string &why)
{
    if (e.verb == "end")
        return true;
    if (e.verb == "bus-break") {
        plant.busBreak();
        return true;
    }
    if (e.verb == "policy") {
        int64_t ms = 0;
        if (e.args.size() == 2)
            parseSeconds(e.args[1], ms);
        HandoverPlan p = plant.station().plan();
        std::vector<int> targets;
        for (uint8_t t : p.targets)
            targets.push_back(t - 0xEA);
        if (targets.empty())
            for (int k = 0; k < plant.cards(); ++k)
                targets.push_back(plant.cabinetOf(k));
        HandoverPlan n;
        if (!makeHandoverPlan(e.args[0], double(ms) / 1000.0, targets, n, why))
            return false;
        n.firstAfterMs = 0;
        plant.station().setPlan(n);
        return true;
    }
    const int k = plant.cardOf(e.cabinet);
    if (k < 0) {
        why = "no card in that cabinet";
        return false;
    }
    if (e.verb == "handover") {
        if (!plant.station().handOver(uint8_t(0xEA + e.cabinet))) {
            why = "the station did not hand over in time";
            return false;
        }
        return true;
    }
    if (e.verb == "card-stop") {
        plant.card(k).signal(SIGTERM);
        return true;
    }
    if (e.verb == "card-kill") {
        plant.card(k).kill();
        plant.updatePids();
        return true;
    }
    if (e.verb == "card-restart") {
        plant.restartCard(k);
        return true;
    }
    if (e.verb == "panel") {
        uint8_t cmd = 0;
        vupanel::parseCommand(e.args[0], cmd);
        uint16_t ds = e.args.size() > 1 ? uint16_t(atoi(e.args[1].c_str())) : 0;
        uint16_t dr = e.args.size() > 2 ? uint16_t(atoi(e.args[2].c_str())) : 0;
        std::string id = std::string("S") + char('A' + e.cabinet);
        if (vupanel::writePanel(plant.card(k).setup().workDir, id, cmd, ds, dr, why) != vupanel::PANEL_OK)
            return false;
        return true;
    }
    PowerModuleSim &m = plant.module(k);
    if (e.verb == "module-silent") {
        Faults f;
        f.silent = true;
        m.setFaults(f);
        return true;
    }
    if (e.verb == "module-back") {
        m.clearFaults();
        return true;
    }
    if (e.verb == "set") {
        const unsigned v = unsigned(atol(e.args[1].c_str()));
        const std::string &f = e.args[0];
        m.update([&](ModuleState &s) {
            for (int p = 0; p < 3; ++p) {
                if (f == "vin")
                    s.Vin[size_t(p)] = s.Uin[size_t(p)] = uint16_t(v);
                else if (f == "vout")
                    s.Vout[size_t(p)] = s.Uout[size_t(p)] = uint16_t(v);
                else if (f == "load")
                    s.Load[size_t(p)] = uint8_t(v > 255 ? 255 : v);
                else if (f == "watt")
                    s.Watt[size_t(p)] = v;
                else if (f == "va")
                    s.Va[size_t(p)] = v;
            }
            if (f == "temp")
                s.Temp0 = uint8_t(v > 255 ? 255 : v);
            else if (f == "charge")
                s.Carica_adj = uint8_t(v > 100 ? 100 : v);
            else if (f == "autonomy")
                s.Aut_time = uint16_t(v > 0xFFF ? 0xFFF : v);
        });
        return true;
    }
    m.update([&](ModuleState &s) {
        if (e.verb == "mains-fail") {
            s.Vin = {{0, 0, 0}};
            s.Uin = {{0, 0, 0}};
            s.Iin = {{0, 0, 0}};
            s.Frq_in = 0;
            s.Battery_Working = true;
            s.Battery_Charging = false;
            s.statusCode = 50;
        } else if (e.verb == "mains-restore") {
            s.Vin = {{230, 231, 232}};
            s.Uin = {{230, 230, 230}};
            s.Iin = {{9, 9, 9}};
            s.Frq_in = 500;
            s.Battery_Working = false;
            s.Battery_Low = false;
            s.Battery_Charging = true;
            s.statusCode = 40;
        } else if (e.verb == "battery-low") {
            s.Battery_Low = true;
            s.statusCode = 52;
        } else if (e.verb == "bypass") {
            s.On_Bypass = true;
            s.statusCode = 60;
        } else if (e.verb == "inverter") {
            s.On_Bypass = false;
            s.statusCode = 40;
        } else if (e.verb == "module-fault") {
            s.Fault = true;
        } else if (e.verb == "module-ok") {
            s.Fault = false;
        }
    });
    return true;
}

} // namespace tvksim
