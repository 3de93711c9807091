#include "CardProcess.h"

#include "VirtualUPSMgr.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tvksim {

namespace {

void mkdirs(const std::string &path)
{
    std::string cur;
    for (size_t i = 0; i < path.size(); ++i) {
        cur += path[i];
        if ((path[i] == '/' && i > 0) || i + 1 == path.size())
            mkdir(cur.c_str(), 0755);
    }
}

// In the child: a mount namespace of its own with workDir/home over /home/kelmo.
bool privateHome(const std::string &home)
{
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount(home.c_str(), "/home/kelmo", nullptr, MS_BIND, nullptr) == 0;
}

} // namespace

CardProcess::CardProcess(const CardSetup &setup) : setup_(setup)
{
    if (setup_.workDir.empty())
        throw std::runtime_error("card without working directory");
    mkdirs(setup_.workDir);
    std::string key = keyFile();
    int fd = open(key.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
        close(fd);
    if (setup_.privateHome) {
        mkdirs(homeDir());
        mkdirs("/home/kelmo");
    }
    start();
}

CardProcess::~CardProcess()
{
    kill();
    removeSegment();
}

bool CardProcess::removeSegment()
{
    key_t key = ftok(keyFile().c_str(), 1);
    if (key == key_t(-1))
        return false;
    int id = shmget(key, 0, 0);
    return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0;
}

void CardProcess::start()
{
    status_ = -1;
    const std::string cab = std::to_string(setup_.cabinet);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid_ == 0) {
        // The child: nothing here may throw or allocate much; errors end it with 127.
        setpgid(0, 0);
        if (chdir(setup_.workDir.c_str()) != 0)
            _exit(127);
        int fd = open(setup_.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            dup2(fd, 1);
            close(fd);
        }
        if (setup_.privateHome && !privateHome(homeDir())) {
            fprintf(stderr, "no private /home/kelmo: %s\n", strerror(errno));
            _exit(127);
        }
        for (const auto &e : setup_.env)
            putenv(const_cast<char *>(e.c_str()));
        // Signals the parent blocked or ignored must not reach the card that way.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        execl(setup_.program.c_str(), setup_.program.c_str(), setup_.modulePort.c_str(), setup_.cabinetPort.c_str(),
              setup_.baud.c_str(), cab.c_str(), setup_.mask.c_str(), setup_.runMode.c_str(), (char *)nullptr);
        _exit(127);
    }
}

bool CardProcess::reap(bool block)
{
    if (pid_ <= 0)
        return true;
    int st = 0;
    pid_t r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        status_ = r == pid_ ? st : -1;
        pid_ = -1;
        return true;
    }
    return false;
}

bool CardProcess::running() { return pid_ > 0 && !reap(false); }

int CardProcess::signal(int sig)
{
    if (!running())
        return -1;
    return ::kill(pid_, sig);
}

int CardProcess::stop(int timeoutMs)
{
    if (!running())
        return status_;
    ::kill(pid_, SIGTERM);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (reap(false))
            return status_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    return -1;
}

void CardProcess::kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
}

void CardProcess::restart()
{
    kill();
    start();
}

bool TreeAttach::attach(const std::string &keyFile)
{
    detach();
    key_t key = ftok(keyFile.c_str(), 1);
    if (key == key_t(-1))
        return false;
    int id = shmget(key, 0, 0);
    if (id < 0)
        return false;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    if (p == (void *)-1)
        return false;
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(virtualNode_t)) {
        shmdt(p);
        return false;
    }
    base_ = static_cast<virtualNode_t *>(p);
    id_ = id;
    count_ = int(ds.shm_segsz / sizeof(virtualNode_t));
    return true;
}

void TreeAttach::detach()
{
    if (base_)
        shmdt(base_);
    base_ = nullptr;
    id_ = -1;
    count_ = 0;
}

virtualNode_t *TreeAttach::node(const char *id) const { return base_ ? search(base_, id, count_) : nullptr; }

std::string programDir()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = 0;
    std::string s(buf);
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

} // namespace tvksim
