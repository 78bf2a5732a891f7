#include "explain/Fleet.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "explain/FactsFile.h"
#include "explain/MachineFolder.h"
#include "explain/ShownText.h"
#include "platform/memory/CodePages.h"

namespace {

// Machines read ahead of the one written next, per worker: a slow machine
// holds up the others' rows, never more.
constexpr size_t kAheadPerWorker = 4;

// The subfolders of `folder`, by name; other entries are passed over.
bool ListMachines(const std::string& folder, std::vector<std::string>& names, std::string& error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        error = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
        const std::string name = entry->d_name;
        struct stat status;
        if (name != "." && name != ".." && stat((folder + "/" + name).c_str(), &status) == 0 &&
            S_ISDIR(status.st_mode))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return true;
}

// `text` with every `path` followed by '/' or ": " cut down to what follows
// the '/': a file is named within its machine's folder, the folder by its row.
void NamedWithinMachine(std::string& text, const std::string& path) {
    for (size_t at = 0; (at = text.find(path, at)) != std::string::npos;) {
        const size_t end = at + path.size();
        if (text.compare(end, 1, "/") == 0)
            text.erase(at, path.size() + 1);
        else if (text.compare(end, 2, ": ") == 0)
            text.erase(at, path.size() + 2);
        else
            at = end;
    }
}

MachineReport ReportOfFolder(const std::string& folder, const std::string& name) {
    auto loaded = std::make_unique<LoadedMachine>();
    std::string error;
    const std::string path = folder + "/" + name;
    MachineOptions options;
    options.factsRequired = true;
    const ReadOutcome read = ReadMachine({path}, options, *loaded, error);
    for (std::string& note : loaded->notes) NamedWithinMachine(note, path);
    if (read != ReadOutcome::kRead) {
        NamedWithinMachine(error, ShownText(path, kUtf8CodePage, false));
        return UnreadReport(name, loaded->failure, error);
    }
    const Explanation explanation = ExplainLoaded(*loaded);
    return ReportOf(name, loaded->machine, explanation,
                    {loaded->computer, loaded->warnings, loaded->saveProblems, loaded->notes});
}

// Reports made by the workers, handed over in order. A machine is taken only
// within `window` of the one written next, so `window` slots are all it needs.
class OrderedReports {
public:
    OrderedReports(size_t count, size_t window) : count_(count), slots_(window) {}

    // The next machine to read, waiting while too far ahead; false when all are taken.
    bool Take(size_t& index) {
        std::unique_lock<std::mutex> lock(mu_);
        changed_.wait(lock, [&] { return next_ >= count_ || next_ < written_ + slots_.size(); });
        if (next_ >= count_) return false;
        index = next_++;
        return true;
    }
    void Put(size_t index, MachineReport report) {
        std::lock_guard<std::mutex> lock(mu_);
        slots_[index % slots_.size()] = std::move(report);
        changed_.notify_all();
    }
    MachineReport Next(size_t index) {
        std::unique_lock<std::mutex> lock(mu_);
        std::optional<MachineReport>& slot = slots_[index % slots_.size()];
        changed_.wait(lock, [&] { return slot.has_value(); });
        MachineReport report = std::move(*slot);
        slot.reset();
        written_ = index + 1;
        changed_.notify_all();
        return report;
    }

private:
    std::mutex mu_;
    std::condition_variable changed_;
    size_t count_;
    std::vector<std::optional<MachineReport>> slots_;
    size_t next_ = 0;
    size_t written_ = 0;
};

// A row for a computer name an earlier folder had; true when it is one. The
// names seen point into `folders`, by index.
bool MarkDuplicate(MachineReport& report, size_t index, const std::vector<std::string>& folders,
                   std::map<std::u16string, size_t>& seen) {
    if (report.computer.empty()) return false;
    std::u16string key;
    for (unsigned char c : report.computer) key += static_cast<char16_t>(c);
    key = codepages::FoldName(key);
    const auto [first, added] = seen.emplace(key, index);
    if (added) return false;
    report.rows.push_back({"", kDuplicate, "same-computer-name", "files",
                           "the computer " + report.computer + " is also that of folder " +
                               ShownText(folders[first->second], kUtf8CodePage, false)});
    return true;
}

}  // namespace

unsigned FleetWorkers(size_t machines) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(cores, machines)));
}

int ExplainFleet(const std::string& folder, ReportFormat format, std::FILE* out,
                 std::string& error) {
    std::vector<std::string> names;
    if (!ListMachines(folder, names, error)) return 1;
    if (names.empty()) {
        struct stat status;
        error = stat((folder + "/" + kFactsFileName).c_str(), &status) == 0
                    ? "one machine's folder, not a fleet's: give it without --fleet"
                    : "no machine folder in it: --fleet takes a folder of machine folders";
        return 1;
    }
    const unsigned workers = FleetWorkers(names.size());
    OrderedReports reports(names.size(), kAheadPerWorker * workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (size_t index; reports.Take(index);)
                reports.Put(index, ReportOfFolder(folder, names[index]));
        });
    }
    std::unique_ptr<ReportWriter> writer = ReportWriter::Make(format, out);
    ReportSummary summary;
    std::map<std::u16string, size_t> computers;
    bool allWell = true;
    writer->Begin();
    for (size_t i = 0; i < names.size(); ++i) {
        MachineReport report = reports.Next(i);
        const bool duplicate = MarkDuplicate(report, i, names, computers);
        allWell = allWell && report.read && report.complete && !duplicate;
        summary.Add(report);
        writer->Machine(report);
    }
    for (std::thread& thread : threads) thread.join();
    writer->End(summary);
    if (std::fflush(out) != 0 || !writer->Written()) {
        error = "the report could not be written";
        return 1;
    }
    return allWell ? 0 : 3;
}
