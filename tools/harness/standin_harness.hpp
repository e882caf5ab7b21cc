// A session with the stand-in tools for tests and benchmarks: puts the stand-ins first on
// PATH, gives them a script to answer from and a record to append to, and reads the record
// back. Everything lives in a private temporary directory that the session removes again,
// together with the environment it changed.
#pragma once

#include "invocation.hpp"
#include "scripted_mode.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace standin {

// Answers, for Session::script.
Answer exits(int status);
Answer prints(std::string out, int status = 0);
Answer killed_by(int signal);
// Prints out count times (0: endlessly, until the reader goes away), then exits with status.
Answer repeats(std::string out, long count, int status = 0);
// Writes its process number to pid_file and waits until it is killed.
Answer hangs(std::string pid_file);

class Session {
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Makes program answer verb (see scripted_mode.hpp) with answer from now on.
    void script(const std::string &program, const std::string &verb, const Answer &answer);

    // Every invocation recorded since the session began or the record was last cleared.
    std::vector<Invocation> invocations() const;
    void clear_record();

    // The session's private directory (script and record live in it).
    const std::filesystem::path &directory() const { return directory_; }

    // Replaces PATH for the rest of the session (the original comes back at its end).
    void set_path(const std::string &path);

    // The folder that holds zor-sys, zor-app, zor-target and sudo.
    static std::string tools_directory();

private:
    std::filesystem::path directory_;
    std::filesystem::path script_;
    std::filesystem::path record_;
    struct Saved {
        std::string name;
        bool was_set;
        std::string value;
    };
    std::vector<Saved> saved_;
    void set_variable(const char *name, const std::string &value);
};

}  // namespace standin
