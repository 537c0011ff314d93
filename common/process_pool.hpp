#pragma once
// framework::ProcessPool: the master's supervisor. It owns the process objects of every
// role, starts them, reaps every child that ends and starts it again by a fixed rule
// (at once after an orderly end or a plain signal, after 2 seconds after a crash), passes
// SIGTERM on for a reload or a stop, and at the end waits for the children with a time
// limit before it kills the rest. Everything runs on the master's single thread.
#include <sys/types.h>

#include <map>
#include <memory>
#include <shared_mutex>

#include "common/process.hpp"
#include "common/signal_handler.hpp"

namespace framework {

class ProcessPool : public SigHandler {
public:
    // Adds SIGINT, SIGTERM, SIGCHLD and SIGHUP to the signal set; arms no wait.
    ProcessPool();
    // Destroys every process object; neither signals nor waits.
    ~ProcessPool() override;

    // Takes ownership under the next key of the program-wide counter (1, 2, ...); a null
    // pointer is ignored.
    void add(std::unique_ptr<Process>&& process);

    // Starts, in key order, every process that does not run. False for an empty pool or
    // when a start failed.
    bool start();
    // SIGTERM to every child; the restart rule brings each back. True when every send worked.
    bool restart();
    // Ends the signal wait, raises the stop flag (no child is started again) and sends
    // SIGTERM to every child. True when every send worked.
    bool stop();
    // For each child in key order: up to about 10 s for it to end, then SIGKILL
    // ("* %s: killed now").
    void wait();

    void on_hup() override;
    void on_stop() override;
    void on_child() override;
    // Called for every child the pool reaps, before the pool looks at its processes.
    virtual void on_child_stop(int pid, Process::result_type status) {}

private:
    bool signal_all(int signo);
    void reaped(Process& process, int wait_status);

    std::map<int, std::unique_ptr<Process>> processes;
    mutable std::shared_mutex lock;
};

}  // namespace framework
