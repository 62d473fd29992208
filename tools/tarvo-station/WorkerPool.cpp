#include "WorkerPool.h"

#include <chrono>

WorkerPool::~WorkerPool()
{
    terminateAll();
    for (auto& w : _workers)
        if (w->reader.joinable())
            w->reader.join();
}

long WorkerPool::start(const WorkerRequest& request, std::string& error)
{
    std::vector<std::string> argv = {_self};
    for (const std::string& a : workerArguments(request))
        argv.push_back(a);
    Process::Ptr process = startProcess(argv, "", error);
    if (!process)
        return -1;
    std::lock_guard<std::mutex> lock(_mutex);
    _workers.push_back(std::make_unique<Worker>());
    const size_t index = _workers.size() - 1;
    _workers[index]->process = std::move(process);
    _workers[index]->reader = std::thread([this, index] { readAll(index); });
    return static_cast<long>(index);
}

void WorkerPool::readAll(size_t index)
{
    Process* process;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        process = _workers[index]->process.get();
    }
    std::string pending, chunk;
    bool open = true;
    while (open) {
        chunk.clear();
        open = process->read(chunk);
        pending += chunk;
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos || (!open && !pending.empty())) {
            std::string line = nl == std::string::npos ? pending : pending.substr(0, nl);
            pending.erase(0, nl == std::string::npos ? pending.size() : nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            JsonFields fields;
            std::lock_guard<std::mutex> lock(_mutex);
            if (!line.empty() && line[0] == PROTOCOL_MARK && parseJsonLine(line.substr(1), fields)) {
                WorkerEvent event;
                event.worker = index;
                event.fields = std::move(fields);
                _events.push_back(std::move(event));
                _arrived.notify_all();
            } else if (!line.empty()) {
                _workers[index]->text += line + "\n";
            }
        }
    }
    WorkerEvent event;
    event.worker = index;
    event.ended = true;
    event.end = process->wait();
    std::lock_guard<std::mutex> lock(_mutex);
    _workers[index]->ended = true;
    _events.push_back(std::move(event));
    _arrived.notify_all();
}

bool WorkerPool::next(WorkerEvent& event, int waitMs)
{
    std::unique_lock<std::mutex> lock(_mutex);
    if (!_arrived.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return !_events.empty(); }))
        return false;
    event = std::move(_events.front());
    _events.pop_front();
    return true;
}

void WorkerPool::terminate(size_t worker)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (worker < _workers.size() && !_workers[worker]->ended)
        _workers[worker]->process->terminate();
}

void WorkerPool::terminateAll()
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (auto& w : _workers)
        if (!w->ended)
            w->process->terminate();
}

std::string WorkerPool::text(size_t worker)
{
    std::lock_guard<std::mutex> lock(_mutex);
    return worker < _workers.size() ? _workers[worker]->text : std::string();
}

std::string WorkerPool::lastMessage(size_t worker)
{
    const std::string all = text(worker);
    size_t end = all.size();
    while (end > 0) {
        size_t start = all.rfind('\n', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::string line = all.substr(start, end - start);
        while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
            line.pop_back();
        // Progress dots and the timing line say nothing about the outcome.
        if (!line.empty() && line.find_first_not_of('.') != std::string::npos &&
            line.compare(0, 8, "done in ") != 0)
            return line;
        end = start > 0 ? start - 1 : 0;
        if (start == 0)
            break;
    }
    return std::string();
}

size_t WorkerPool::running() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    size_t n = 0;
    for (auto& w : _workers)
        n += !w->ended;
    return n;
}
