// The parent's side of the workers: starts them, reads what each tells in a
// thread of its own, and hands the events to the one thread that reports.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Json.h"
#include "Process.h"
#include "Station.h"

struct WorkerEvent {
    size_t worker = 0;
    bool ended = false;     // the worker's output closed and it was waited for
    JsonFields fields;      // a protocol line, when not ended
    ProcessEnd end;         // when ended
};

class WorkerPool {
public:
    explicit WorkerPool(const std::string& self) : _self(self) {}
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The worker's number, or -1 (error says why).
    long start(const WorkerRequest& request, std::string& error);
    // The next event within waitMs; false when none came.
    bool next(WorkerEvent& event, int waitMs);
    void terminate(size_t worker);
    void terminateAll();
    // The core's own output of a worker so far (its messages and trace).
    std::string text(size_t worker);
    // The last line of that output that says something.
    std::string lastMessage(size_t worker);
    size_t running() const;

private:
    struct Worker {
        Process::Ptr process;
        std::thread reader;
        std::string text;
        bool ended = false;
    };
    void readAll(size_t index);

    std::string _self;
    mutable std::mutex _mutex;
    std::condition_variable _arrived;
    std::deque<WorkerEvent> _events;
    std::vector<std::unique_ptr<Worker>> _workers;
};
