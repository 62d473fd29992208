// The parent's side of the workers: starts them, reads what each tells in a
// thread of its own, and hands the events to the one thread that reports.
// A worker is let go (its thread joined, its process reaped) when its end is
// handed on, so a pool that runs for weeks holds only the running ones.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Json.h"
#include "process/Process.h"

struct WorkerEvent {
    size_t worker = 0;
    bool ended = false;     // the worker's output closed and it was waited for
    JsonFields fields;      // a protocol line, when not ended
    ProcessEnd end;         // when ended
    std::string text;       // when ended: the core's own output (messages and trace)
};

class WorkerPool {
public:
    explicit WorkerPool(const std::string& self) : _self(self) {}
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts the program again with args; the worker's number, or -1 (error
    // says why: the process or its reader thread could not be started).
    long start(const std::vector<std::string>& args, std::string& error);
    // The next event within waitMs; false when none came.
    bool next(WorkerEvent& event, int waitMs);
    void terminate(size_t worker);
    void terminateAll();
    // The last line of a running worker's own output that says something.
    std::string lastMessage(size_t worker);
    // Workers whose end has not been seen yet.
    size_t running() const;
    // Workers still held (a thread or a process): those whose end was not
    // handed on by next().
    size_t held() const;

private:
    struct Worker {
        Process::Ptr process;
        std::thread reader;
        std::string text;
        bool ended = false;
    };
    void readAll(size_t index, Process* process);

    std::string _self;
    mutable std::mutex _mutex;
    std::condition_variable _arrived;
    std::deque<WorkerEvent> _events;
    std::map<size_t, std::unique_ptr<Worker>> _workers;
    size_t _count = 0;
};

// The last line of text that says something about the outcome.
std::string lastMessageOf(const std::string& text);
