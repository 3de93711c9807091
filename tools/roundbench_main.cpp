// Module-bus round bench: runs the real card program (tarvik-<profile>) against the
// stand-in power module over a pty whose replies are paced like a line at the given
// baud rate, and measures what the card makes of the line.
//
//   tarvik-roundbench-<profile> [--card PATH] [--bauds 9600,115200] [--rounds N]
//                               [--rss-rounds N] [--rss-baud B] [--keep-logs DIR]
//                               [--quiet-log]
//
// For each baud rate it skips the first rounds (registration, first aggregation),
// then over --rounds rounds (default 100) reports:
//   ratio       measured round time / ideal wire time of every query and reply byte
//               in the window (10 bits a byte; the stand-in also waits the query's
//               own wire time before it answers, as a real line would make it);
//   turnaround  last byte of a reply written -> first byte of the next query read;
//   cpu/round   card CPU time (all threads) per round;
//   wake-ups    context switches of the card's threads per round (every time a
//               thread went to sleep or was put off the processor);
//   rss         card resident memory at the end of the window.
// Then one long run (--rss-rounds, default 10000; 0 skips it) compares the card's
// resident memory after 100 rounds with that after the last round.
// The card logs at its normal level (debug lines included) into a file, as on the
// target; --quiet-log runs it with TARVIK_LOG_QUIET=1 (no debug lines, no frame
// dumps). Exit status 0 when every run completed, whatever the figures.
#include "PowerModuleSim.h"
#include "Profile.h"
#include "PtyBench.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using tvksim::ExchangeTiming;

// Every round of every profile carries exactly one RS: it marks the rounds.
constexpr uint8_t MARK_MAIN = 'R';
constexpr uint8_t MARK_SUB = 'S';
constexpr size_t SKIP_ROUNDS = 3;

struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<ExchangeTiming> ex;
    std::vector<size_t> marks;   // indexes into ex of the round markers

    void add(const ExchangeTiming &t)
    {
        std::lock_guard<std::mutex> lk(m);
        ex.push_back(t);
        if (t.mainCmd == MARK_MAIN && t.subCmd == MARK_SUB) {
            marks.push_back(ex.size() - 1);
            cv.notify_all();
        }
    }
    // Waits until `n` markers were seen; false on time-out.
    bool waitMarks(size_t n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return marks.size() >= n; });
    }
};

struct ProcSample {
    int64_t ticks = 0;      // utime + stime of the process (dead threads included)
    int64_t schedNs = 0;    // sum of the live threads' run time (ns)
    int64_t switches = 0;   // sum of the live threads' context switches
    long rssKb = 0;
};

ProcSample sampleProc(pid_t pid)
{
    ProcSample s;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    if (FILE *f = fopen(path, "r")) {
        char buf[1024];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        fclose(f);
        // Fields after the command name (which may hold blanks) start after ')'.
        const char *p = strrchr(buf, ')');
        if (p) {
            long long v[16] = {};
            // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
            char st;
            if (sscanf(p + 2, "%c %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld", &st, &v[0], &v[1],
                       &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]) == 13)
                s.ticks = v[10] + v[11];
        }
    }
    snprintf(path, sizeof path, "/proc/%d/task", int(pid));
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char sp[320];
            snprintf(sp, sizeof sp, "/proc/%d/task/%s/schedstat", int(pid), e->d_name);
            if (FILE *f = fopen(sp, "r")) {
                long long ns = 0;
                if (fscanf(f, "%lld", &ns) == 1)
                    s.schedNs += ns;
                fclose(f);
            }
            snprintf(sp, sizeof sp, "/proc/%d/task/%s/status", int(pid), e->d_name);
            if (FILE *f = fopen(sp, "r")) {
                char line[256];
                while (fgets(line, sizeof line, f))
                    if (strncmp(line, "voluntary_ctxt_switches:", 24) == 0 ||
                        strncmp(line, "nonvoluntary_ctxt_switches:", 27) == 0)
                        s.switches += strtoll(strchr(line, ':') + 1, nullptr, 10);
                fclose(f);
            }
        }
        closedir(d);
    }
    snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    if (FILE *f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strncmp(line, "VmRSS:", 6) == 0)
                s.rssKb = strtol(line + 6, nullptr, 10);
        fclose(f);
    }
    return s;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(q * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// One card process against one paced stand-in.
class CardRun {
public:
    CardRun(const std::string &card, unsigned baud, const std::string &logPath, bool quietLog = false)
        : baud_(baud)
    {
        char tmpl[] = "/tmp/tarvik-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        std::string key = dir_ + "/Tarvik";
        int kf = open(key.c_str(), O_CREAT | O_WRONLY, 0644);
        if (kf >= 0)
            close(kf);
        log_ = logPath.empty() ? dir_ + "/card.log" : logPath;

        pty_.reset(new tvksim::PtyEnd());
        sim_.reset(new tvksim::PowerModuleSim(*pty_));
        sim_->setBaud(baud);
        sim_->setTimingHook([this](const ExchangeTiming &t) { rec_.add(t); });

        const std::string baudArg = std::to_string(baud ? baud : 115200);
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(127);
            int lf = open(log_.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (lf >= 0) {
                dup2(lf, 1);
                dup2(lf, 2);
                close(lf);
            }
            setenv("TARVIK_NO_MACHINE_ACTIONS", "1", 1);
            if (quietLog)
                setenv("TARVIK_LOG_QUIET", "1", 1);
            else
                unsetenv("TARVIK_LOG_QUIET");
            execl(card.c_str(), card.c_str(), pty_->path().c_str(), "/dev/ttyTVKnone", baudArg.c_str(), "1",
                  "1000", "false", (char *)nullptr);
            _exit(127);
        }
    }

    ~CardRun()
    {
        stop();
        sim_.reset();
        pty_.reset();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "roundbench: could not remove %s\n", dir_.c_str());
    }

    // Orderly stop (SIGTERM); returns the card's exit status (-1: killed or lost).
    int stop()
    {
        if (pid_ <= 0)
            return exit_;
        kill(pid_, SIGTERM);
        int st = 0;
        for (int i = 0; i < 300; ++i) {   // up to 30 s
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                pid_ = 0;
                sim_->stop();
                return exit_;
            }
            usleep(100000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        pid_ = 0;
        exit_ = -1;
        sim_->stop();
        return exit_;
    }

    bool alive() const { return pid_ > 0 && kill(pid_, 0) == 0; }
    pid_t pid() const { return pid_; }
    Recorder &rec() { return rec_; }
    unsigned baud() const { return baud_; }
    const std::string &logPath() const { return log_; }

    // Waits for marker n with a time-out sized on the line rate.
    bool waitRound(size_t n, int msPerRound)
    {
        size_t have;
        {
            std::lock_guard<std::mutex> lk(rec_.m);
            have = rec_.marks.size();
        }
        int budget = 20000 + int(n > have ? n - have : 0) * msPerRound * 3;
        return rec_.waitMarks(n, budget);
    }

private:
    unsigned baud_;
    std::string dir_;
    std::string log_;
    std::unique_ptr<tvksim::PtyEnd> pty_;
    std::unique_ptr<tvksim::PowerModuleSim> sim_;
    Recorder rec_;
    pid_t pid_ = 0;
    int exit_ = -1;
};

long fileSize(const std::string &p)
{
    struct stat sb;
    return stat(p.c_str(), &sb) == 0 ? long(sb.st_size) : -1;
}

int roundTimeBench(const std::string &card, unsigned baud, size_t rounds, const std::string &logDir, bool quietLog)
{
    std::string logPath = logDir.empty() ? std::string() : logDir + "/card-" + std::to_string(baud) + ".log";
    CardRun run(card, baud, logPath, quietLog);
    const int msPerRound = baud ? int(8000000 / baud) + 50 : 50;   // ~800 bytes a round, generous
    if (!run.waitRound(SKIP_ROUNDS + 1, msPerRound)) {
        fprintf(stderr, "roundbench: the card did not start polling at %u baud (log: %s)\n", baud,
                run.logPath().c_str());
        return 1;
    }
    ProcSample p0 = sampleProc(run.pid());
    long log0 = fileSize(run.logPath());
    if (!run.waitRound(SKIP_ROUNDS + 1 + rounds, msPerRound)) {
        fprintf(stderr, "roundbench: fewer than %zu rounds at %u baud\n", rounds, baud);
        return 1;
    }
    ProcSample p1 = sampleProc(run.pid());
    long log1 = fileSize(run.logPath());
    int status = run.stop();

    std::vector<ExchangeTiming> ex;
    size_t a, b;
    {
        std::lock_guard<std::mutex> lk(run.rec().m);
        ex = run.rec().ex;
        a = run.rec().marks[SKIP_ROUNDS];
        b = run.rec().marks[SKIP_ROUNDS + rounds];
    }
    const double measuredUs = double(ex[b].queryFirstUs - ex[a].queryFirstUs);
    size_t bytes = 0;
    std::vector<double> turn;
    std::map<std::string, std::vector<double>> turnAfter;   // by the query the reply answered
    for (size_t k = a; k < b; ++k) {
        bytes += ex[k].queryLen + ex[k].replyLen;
        const double t = double(ex[k + 1].queryFirstUs - ex[k].replyEndUs);
        turn.push_back(t);
        turnAfter[std::string{char(ex[k].mainCmd), char(ex[k].subCmd)}].push_back(t);
    }
    const double idealUs = baud ? double(bytes) * 10.0 * 1e6 / baud : 0;
    const double cpuTickMs = double(p1.ticks - p0.ticks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    const double cpuSchedMs = double(p1.schedNs - p0.schedNs) / 1e6;

    printf("baud %u, %zu rounds (%zu exchanges, %zu bytes on the line)\n", baud, rounds, b - a, bytes);
    printf("  round time      %.2f ms measured", measuredUs / 1000.0 / double(rounds));
    if (baud)
        printf(", %.2f ms ideal wire time, ratio %.4f", idealUs / 1000.0 / double(rounds), measuredUs / idealUs);
    printf("\n");
    printf("  turnaround      median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", percentile(turn, 0.5),
           percentile(turn, 0.9), percentile(turn, 0.99), percentile(turn, 1.0));
    printf("  turnaround after");
    for (auto &kv : turnAfter)
        printf(" %s %.0f", kv.first.c_str(), percentile(kv.second, 0.5));
    printf(" us (medians)\n");
    printf("  card cpu/round  %.3f ms (thread run time), %.2f ms (process ticks), %.1f %% of one core\n",
           cpuSchedMs / double(rounds), cpuTickMs / double(rounds), cpuSchedMs * 1000.0 / measuredUs * 100.0);
    printf("  wake-ups/round  %.1f (context switches of the card's threads)\n",
           double(p1.switches - p0.switches) / double(rounds));
    printf("  card rss        %ld kB;  log %.0f bytes/round at the %s level (%s)\n", p1.rssKb,
           double(log1 - log0) / double(rounds), quietLog ? "quiet" : "normal",
           logDir.empty() ? "removed" : run.logPath().c_str());
    printf("  card exit       %d\n", status);
    fflush(stdout);
    return status == 0 ? 0 : 1;
}

int rssBench(const std::string &card, unsigned baud, size_t rounds)
{
    CardRun run(card, baud, std::string());
    const int msPerRound = baud ? int(8000000 / baud) + 50 : 50;
    const size_t early = 100;
    if (!run.waitRound(early, msPerRound)) {
        fprintf(stderr, "roundbench: the card did not reach %zu rounds\n", early);
        return 1;
    }
    ProcSample p0 = sampleProc(run.pid());
    printf("long run at %u baud: rss after %zu rounds %ld kB", baud, early, p0.rssKb);
    fflush(stdout);
    const auto t0 = std::chrono::steady_clock::now();
    long peak = p0.rssKb;
    for (size_t n = early + 1000; ; n += 1000) {
        size_t target = std::min(n, rounds);
        if (!run.waitRound(target, msPerRound)) {
            fprintf(stderr, "\nroundbench: the card stalled before round %zu\n", target);
            return 1;
        }
        peak = std::max(peak, sampleProc(run.pid()).rssKb);
        {
            // The recorder is the bench's, not the card's: keep it from growing.
            std::lock_guard<std::mutex> lk(run.rec().m);
            run.rec().ex.clear();
            run.rec().ex.shrink_to_fit();
        }
        if (target >= rounds)
            break;
    }
    ProcSample p1 = sampleProc(run.pid());
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpuTickMs = double(p1.ticks - p0.ticks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    printf(", after %zu rounds %ld kB (highest sample %ld kB); %.1f s, cpu %.3f ms/round\n", rounds, p1.rssKb,
           peak, secs, cpuTickMs / double(rounds - early));
    int status = run.stop();
    printf("  card exit       %d\n", status);
    return status == 0 ? 0 : 1;
}

std::string defaultCard(const char *argv0)
{
    std::string self = argv0;
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return dir + "/tarvik-" + profile::name;
}

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--card PATH] [--bauds 9600,115200] [--rounds N] [--rss-rounds N] [--rss-baud B]\n"
            "          [--keep-logs DIR] [--quiet-log]\n",
            prog);
}

} // namespace

int main(int argc, char **argv)
{
    std::string card = defaultCard(argv[0]);
    std::vector<unsigned> bauds{9600, 115200};
    size_t rounds = 100;
    size_t rssRounds = 10000;
    unsigned rssBaud = 115200;
    std::string logDir;
    bool quietLog = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--card") {
            card = next();
        } else if (a == "--bauds") {
            bauds.clear();
            std::string list = next();
            for (size_t p = 0; p < list.size();) {
                size_t c = list.find(',', p);
                if (c == std::string::npos)
                    c = list.size();
                bauds.push_back(unsigned(strtoul(list.substr(p, c - p).c_str(), nullptr, 10)));
                p = c + 1;
            }
        } else if (a == "--rounds") {
            rounds = size_t(strtoul(next(), nullptr, 10));
        } else if (a == "--rss-rounds") {
            rssRounds = size_t(strtoul(next(), nullptr, 10));
        } else if (a == "--rss-baud") {
            rssBaud = unsigned(strtoul(next(), nullptr, 10));
        } else if (a == "--keep-logs") {
            logDir = next();
        } else if (a == "--quiet-log") {
            quietLog = true;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    char *abs = realpath(card.c_str(), nullptr);   // the card runs in its own directory
    if (rounds < 1 || !abs || access(abs, X_OK) != 0) {
        fprintf(stderr, "roundbench: card program %s not found (or --rounds 0)\n", card.c_str());
        free(abs);
        return 2;
    }
    card = abs;
    free(abs);
    signal(SIGPIPE, SIG_IGN);
    printf("card %s (%s profile)\n", card.c_str(), profile::name);
    int rc = 0;
    try {
        for (unsigned b : bauds)
            rc |= roundTimeBench(card, b, rounds, logDir, quietLog);
        if (rssRounds > 100)
            rc |= rssBench(card, rssBaud, rssRounds);
    } catch (const std::exception &e) {
        fprintf(stderr, "roundbench: %s\n", e.what());
        return 1;
    }
    return rc;
}
