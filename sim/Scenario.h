// Scenarios for the simulated plant: what happens to the plant over time, one
// event a line.
//
//   # comment (also after an event); blank lines are ignored
//   TIME [CABINET] EVENT [ARGUMENTS...]
//
// TIME is in seconds from the start of the plant (decimals allowed, never
// smaller than the time of the line before). CABINET is one letter A..D and
// must be present in the plant's mask. Events of one cabinet:
//   mains-fail            the module runs from its battery (input voltages 0, code 50)
//   mains-restore         the mains is back (input voltages, code 40 ONLINE)
//   battery-low           battery low while on battery (code 52)
//   bypass / inverter     the load goes to bypass (code 60) / back to the inverter
//   module-fault / module-ok          the module reports a fault / no fault
//   module-silent / module-back       the module stops answering / answers again
//   set FIELD VALUE       a module measurement: vin, vout, load, watt, va, temp, charge, autonomy
//   panel COMMAND [DELAY_SHUT [DELAY_REBOOT]]   a panel command into the card's system node
//                         (on, off, shutdown, reboot, delete, testbatt or a number)
//   card-stop / card-kill / card-restart        SIGTERM / SIGKILL / start the card again
//   handover              the hand-over station gives the master role to that cabinet
// Events of the plant (no cabinet):
//   bus-break             a line break on the cabinet bus (every card hears it)
//   policy POLICY [SECONDS]   the station's policy from now: manual, once, rotate, silence
//   end                   the run ends here
#ifndef TVK_SIM_SCENARIO_H
#define TVK_SIM_SCENARIO_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvksim {

class Plant;
struct HandoverPlan;

struct ScenarioEvent {
    int line = 0;              // line number in the scenario text (1-based)
    int64_t atMs = 0;          // from the start of the plant
    int cabinet = -1;          // 0..3; -1 for a plant event
    std::string verb;
    std::vector<std::string> args;
    std::string text;          // the line as written (without comment)
};

// Parses a scenario. On the first bad line returns false with
// "line N: reason" in err and leaves events as far as they were parsed.
// mask (e.g. "1011") restricts the cabinet letters; empty = any.
bool parseScenario(const std::string &text, const std::string &mask, std::vector<ScenarioEvent> &events,
                   std::string &err);
bool loadScenario(const std::string &path, const std::string &mask, std::vector<ScenarioEvent> &events,
                  std::string &err);

// Hand-over policy from its command-line words: "manual", "once", "rotate",
// "silence"; seconds is the rotate period or the tolerated silence (0: the
// policy's default). targets are cabinet indexes 0..3 in turn.
bool makeHandoverPlan(const std::string &policy, double seconds, const std::vector<int> &targets,
                      HandoverPlan &plan, std::string &err);

// Plays the events against a plant: play(nowMs) carries out every event due
// by then, in order, and reports each one through the log function.
class ScenarioPlayer {
public:
    ScenarioPlayer(Plant &plant, std::vector<ScenarioEvent> events, std::function<void(const std::string &)> log);
    // Events due at nowMs (from the start); false once an "end" event ran.
    bool play(int64_t nowMs);
    bool finished() const { return next_ >= events_.size(); }
    // Milliseconds to the next event from nowMs (-1: none left).
    int64_t untilNext(int64_t nowMs) const;
    // Carries out one event now; false with a reason when it could not.
    static bool apply(Plant &plant, const ScenarioEvent &e, std::string &why);

private:
    Plant &plant_;
    std::vector<ScenarioEvent> events_;
    std::function<void(const std::string &)> log_;
    size_t next_ = 0;
    bool ended_ = false;
};

} // namespace tvksim

#endif
