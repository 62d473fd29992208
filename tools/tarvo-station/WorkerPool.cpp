#include "WorkerPool.h"

#include <chrono>
#include <system_error>

#include "Station.h"

WorkerPool::~WorkerPool()
{
    terminateAll();
    // The entries stay while their readers finish: a reader reaches its own.
    std::vector<std::thread*> readers;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto& [index, w] : _workers)
            readers.push_back(&w->reader);
    }
    for (std::thread* reader : readers)
        if (reader->joinable())
            reader->join();
}

long WorkerPool::start(const std::vector<std::string>& args, std::string& error)
{
    std::vector<std::string> argv = {_self};
    argv.insert(argv.end(), args.begin(), args.end());
    Process::Ptr process = startProcess(argv, "", error);
    if (!process)
        return -1;
    auto worker = std::make_unique<Worker>();
    Process* raw = process.get();
    worker->process = std::move(process);
    std::lock_guard<std::mutex> lock(_mutex);
    const size_t index = _count;
    try {
        // The reader takes the mutex first thing, so it waits for the entry.
        worker->reader = std::thread([this, index, raw] { readAll(index, raw); });
    } catch (const std::system_error& e) {
        // The process goes with the entry: killed and reaped.
        error = std::string("no thread for the worker: ") + e.what();
        return -1;
    }
    _count++;
    _workers[index] = std::move(worker);
    return static_cast<long>(index);
}

void WorkerPool::readAll(size_t index, Process* process)
{
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
            const bool protocol =
                !line.empty() && line[0] == PROTOCOL_MARK && parseJsonLine(line.substr(1), fields);
            std::lock_guard<std::mutex> lock(_mutex);
            if (protocol) {
                WorkerEvent event;
                event.worker = index;
                event.fields = std::move(fields);
                _events.push_back(std::move(event));
                _arrived.notify_all();
            } else if (!line.empty()) {
                _workers.at(index)->text += line + "\n";
            }
        }
    }
    WorkerEvent event;
    event.worker = index;
    event.ended = true;
    event.end = process->wait();
    std::lock_guard<std::mutex> lock(_mutex);
    Worker& w = *_workers.at(index);
    w.ended = true;
    event.text = std::move(w.text);
    _events.push_back(std::move(event));
    _arrived.notify_all();
}

bool WorkerPool::next(WorkerEvent& event, int waitMs)
{
    std::unique_ptr<Worker> done;
    {
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                               [this] { return !_events.empty(); }))
            return false;
        event = std::move(_events.front());
        _events.pop_front();
        if (event.ended) {
            auto it = _workers.find(event.worker);
            done = std::move(it->second);
            _workers.erase(it);
        }
    }
    // Its reader has nothing left to do but return.
    if (done && done->reader.joinable())
        done->reader.join();
    return true;
}

void WorkerPool::terminate(size_t worker)
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _workers.find(worker);
    if (it != _workers.end() && !it->second->ended)
        it->second->process->terminate();
}

void WorkerPool::terminateAll()
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (auto& [index, w] : _workers)
        if (!w->ended)
            w->process->terminate();
}

std::string WorkerPool::lastMessage(size_t worker)
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _workers.find(worker);
        if (it != _workers.end())
            text = it->second->text;
    }
    return lastMessageOf(text);
}

std::string lastMessageOf(const std::string& all)
{
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
    for (auto& [index, w] : _workers)
        n += !w->ended;
    return n;
}

size_t WorkerPool::held() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _workers.size();
}
