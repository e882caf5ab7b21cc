// Snapshots, checkpoints and base images kept as records, and the listings that show them
// in the forms the client libraries read.
#include "main_process.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <ctime>

namespace standin {

namespace {

// The container types whose snapshot and checkpoint listings are tables.
constexpr int kSystemTableType = 100;
constexpr int kApplicationTableType = 1;

std::string time_text(long long seconds) {
    const auto moment = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&moment, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

const char *run_state_word(int run_state) {
    return run_state == 2 ? "suspended" : "running";
}

std::vector<Record> &records_of(Container &container, bool checkpoints) {
    return checkpoints ? container.checkpoints : container.snapshots;
}

Record *find_record(std::vector<Record> &records, const std::string &name) {
    const auto found = std::find_if(records.begin(), records.end(),
                                    [&](const Record &record) { return record.name == name; });
    return found == records.end() ? nullptr : &*found;
}

Record &named_record(Container &container, bool checkpoint, const std::string &name) {
    Record *record = find_record(records_of(container, checkpoint), name);
    if (record == nullptr) {
        throw Refusal(kNotFound, std::string("container '") + container.name + "' has no " +
                                     (checkpoint ? "checkpoint" : "snapshot") + " '" + name + "'");
    }
    return *record;
}

// The table forms put a header first; the libraries skip lines up to the first that holds
// the marker, so no line before it may show a name (a name may hold the marker itself).
void list_records(Command &command, bool checkpoints) {
    const Options options(command.words, 1,
                          {{checkpoints ? "--checkpoint" : "--snapshot", false}, {"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    std::string &out = command.out;
    if (command.is_system() && container.type == kSystemTableType) {
        out += checkpoints ? "ID NAME CREATED STATE\n" : "ID NAME CREATED\n";
        for (const Record &record : records_of(container, checkpoints)) {
            out += std::to_string(record.id) + " " + record.name + " " + time_text(record.created);
            out += checkpoints ? std::string(" ") + run_state_word(record.run_state) : "";
            out += "\n";
        }
    } else if (!command.is_system() && container.type == kApplicationTableType) {
        out += "TAG\tCREATED\n";
        for (const Record &record : records_of(container, checkpoints)) {
            out += record.name + "\t" + time_text(record.created) + "\n";
        }
    } else {
        for (const Record &record : records_of(container, checkpoints)) {
            out += record.name + "\n";
        }
    }
}

void list(Command &command) {
    const std::vector<std::string> &words = command.words;
    if (words.size() > 1 && words[1] == "--snapshot") {
        list_records(command, false);
    } else if (words.size() > 1 && words[1] == "--checkpoint" && command.is_system()) {
        list_records(command, true);
    } else if (words.size() > 1 && words[1] == "--base") {
        const Options options(words, 1, {{"--base", false}});
        for (const Base &base : command.domain->bases) {
            command.out += base.name + "\n";
        }
    } else {
        const Options options(words, 1, {});
        for (const auto &entry : command.domain->containers) {
            command.out += entry.first + "\n";
        }
    }
}

Record new_record(Command &command, const Container &container, const std::string &name) {
    Record record;
    record.name = name;
    record.id = command.domain->next_id++;
    record.created = static_cast<long long>(std::time(nullptr));
    record.shared = container.shared;
    record.limits = container.limits;
    return record;
}

void save(Command &command, bool checkpoint) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &name =
        checked_name(options.required("-t"), checkpoint ? "checkpoint" : "snapshot");
    std::vector<Record> &records = records_of(container, checkpoint);
    if (find_record(records, name) != nullptr) {
        throw Refusal(kExists, "container '" + container.name + "' has a " +
                                   (checkpoint ? "checkpoint" : "snapshot") + " '" + name +
                                   "' already");
    }
    Record record = new_record(command, container, name);
    if (checkpoint) {
        // A checkpoint holds a running process's state, so there must be one.
        record.run_state = container_status(container);
        if (record.run_state == 0) {
            throw Refusal(kWrongState, "container '" + container.name +
                                           "' is not running; nothing to checkpoint");
        }
    }
    records.push_back(record);
    command.changed = true;
}

void load(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const Record &snapshot = named_record(container, false, options.required("-t"));
    container.limits = snapshot.limits;
    container.shared = snapshot.shared;
    command.changed = true;
}

// Restarting from a checkpoint replaces the main process (if any) by a fresh one in the
// state the checkpoint was taken in.
void restart(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const Record checkpoint = named_record(container, true, options.required("-t"));
    end_main_process(container.main);
    container.main = MainProcess{};
    container.limits = checkpoint.limits;
    container.shared = checkpoint.shared;
    container.main = start_main_process();
    command.changed = true;
    if (checkpoint.run_state == 2) {
        suspend_main_process(container.main);
    }
}

void commit(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}, {"-b", true}});
    Container &container = named_container(command, options.required("-n"));
    const Record &snapshot = named_record(container, false, options.required("-t"));
    const std::string &base_name = checked_name(options.required("-b"), "base");
    auto &bases = command.domain->bases;
    if (std::any_of(bases.begin(), bases.end(),
                    [&](const Base &base) { return base.name == base_name; })) {
        throw Refusal(kExists, "base image '" + base_name + "' exists already");
    }
    bases.push_back(
        Base{base_name, container.name, snapshot.name, static_cast<long long>(std::time(nullptr))});
    command.changed = true;
}

void remove(Command &command) {
    const std::vector<std::string> &words = command.words;
    const std::string kind = words.size() > 1 ? words[1] : "";
    if (kind == "--base") {
        const Options options(words, 1, {{"--base", true}});
        const std::string &name = options.required("--base");
        auto &bases = command.domain->bases;
        const auto found = std::find_if(bases.begin(), bases.end(),
                                        [&](const Base &base) { return base.name == name; });
        if (found == bases.end()) {
            throw Refusal(kNotFound, "no base image '" + name + "'");
        }
        bases.erase(found);
    } else if (kind == "--snapshot" || (kind == "--checkpoint" && command.is_system())) {
        const bool checkpoint = kind == "--checkpoint";
        const Options options(words, 1, {{kind.c_str(), false}, {"-n", true}, {"-t", true}});
        Container &container = named_container(command, options.required("-n"));
        const Record &record = named_record(container, checkpoint, options.required("-t"));
        std::vector<Record> &records = records_of(container, checkpoint);
        records.erase(records.begin() + (&record - records.data()));
    } else {
        throw Refusal(kUsage, "remove needs --base, --snapshot" +
                                  std::string(command.is_system() ? " or --checkpoint" : ""));
    }
    command.changed = true;
}

}  // namespace

void record_verb(Command &command) {
    const std::string &verb = command.words[0];
    if (verb == "list") {
        list(command);
    } else if (verb == "remove") {
        remove(command);
    } else if (verb == "save") {
        save(command, false);
    } else if (verb == "load") {
        load(command);
    } else if (verb == "commit") {
        commit(command);
    } else if (verb == "checkpoint" && command.is_system()) {
        save(command, true);
    } else if (verb == "restart" && command.is_system()) {
        restart(command);
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace standin
