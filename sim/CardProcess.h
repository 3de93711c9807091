// One real card program as a child process, the way a plant of several cards runs
// on one machine: its own working directory (with the "Tarvik" key file, so its
// shared-memory segment is its own), its log in a file there, and optionally its
// own /home/kelmo (the status document's development root) in a private mount
// namespace, so that several cards never write one another's vu.json.
//
// The process is killed and reaped when the object goes, whatever happened.
#ifndef TVK_SIM_CARDPROCESS_H
#define TVK_SIM_CARDPROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

struct virtualNode_t;

namespace tvksim {

// The folder of the running program: the tools find the card programs of their build
// beside themselves ("." when it cannot be read).
std::string programDir();

struct CardSetup {
    std::string program;        // path of tarvik-<profile>
    std::string modulePort;     // "485-1" device
    std::string cabinetPort;    // "485-2" device
    std::string baud = "115200";
    int cabinet = 1;            // 1..4
    std::string mask = "1111";
    std::string runMode = "false";
    std::string workDir;        // created if missing; gets the "Tarvik" key file
    std::string logFile = "card.log";   // inside workDir (standard error of the card)
    bool privateHome = true;    // bind workDir/home over /home/kelmo in a mount namespace of its own
    std::vector<std::string> env = {"TARVIK_NO_MACHINE_ACTIONS=1"};
};

class CardProcess {
public:
    explicit CardProcess(const CardSetup &setup);   // starts it; throws std::runtime_error
    ~CardProcess();                               // SIGKILL and reap when still running, then removeSegment
    CardProcess(const CardProcess &) = delete;
    CardProcess &operator=(const CardProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool running();                 // reaps a child that ended on its own
    int signal(int sig);            // kill(pid, sig); -1 when not running
    // Orderly stop (SIGTERM), waits up to timeoutMs; the wait status, or -1 (then killed).
    int stop(int timeoutMs = 10000);
    void kill();                    // SIGKILL and reap
    int exitStatus() const { return status_; }   // wait status once reaped, else -1
    // Starts the card again with the same setup (after stop or kill).
    void restart();
    // Removes a shared-memory segment the card left behind (after a kill); true when one was there.
    bool removeSegment();

    const CardSetup &setup() const { return setup_; }
    std::string logPath() const { return setup_.workDir + "/" + setup_.logFile; }
    std::string homeDir() const { return setup_.workDir + "/home"; }   // its /home/kelmo
    std::string keyFile() const { return setup_.workDir + "/Tarvik"; }

private:
    void start();
    bool reap(bool block);
    CardSetup setup_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// Read-only attachment to a card's shared-memory tree, as the card's other
// processes attach (key from the card's "Tarvik" file). Nothing is locked: the
// card writes while this reads.
class TreeAttach {
public:
    TreeAttach() = default;
    ~TreeAttach() { detach(); }
    TreeAttach(const TreeAttach &) = delete;
    TreeAttach &operator=(const TreeAttach &) = delete;
    bool attach(const std::string &keyFile);   // false while the card has no segment
    void detach();
    bool attached() const { return base_ != nullptr; }
    // The node with that identifier ("SA.BC"), or null.
    virtualNode_t *node(const char *id) const;
    int segmentId() const { return id_; }

private:
    virtualNode_t *base_ = nullptr;
    int id_ = -1;
    int count_ = 0;
};

} // namespace tvksim

#endif
