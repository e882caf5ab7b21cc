// The stand-ins for the administration tools: one program, installed under the names
// zor-sys, zor-app, zor-target and sudo, that acts by the name it was started with.
#include "invocation.hpp"
#include "scripted_mode.hpp"
#include "sudo_passthrough.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool is_tool(const std::string &program) {
    return program == "zor-sys" || program == "zor-app" || program == "zor-target";
}

// Without a script a stand-in has nothing to answer from: containers are the runtime's.
int answer_unscripted(const standin::Invocation &invocation) {
    std::fprintf(stderr,
                 "%s: this stand-in answers only as a test scripts it (%s); the runtime's tools "
                 "are in runtime/bin of the build tree\n",
                 invocation.program.c_str(), standin::kScriptVariable);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    const standin::Invocation invocation = standin::current_invocation(argc, argv);
    if (invocation.program == "sudo") {
        return standin::run_as_sudo(argc, argv);
    }
    if (!is_tool(invocation.program)) {
        std::fprintf(stderr, "%s: start this program as zor-sys, zor-app, zor-target or sudo\n",
                     invocation.program.c_str());
        return 1;
    }
    standin::append_record(invocation);
    const char *script = std::getenv(standin::kScriptVariable);
    if (script != nullptr && script[0] != '\0') {
        return standin::answer_scripted(invocation, script);
    }
    return answer_unscripted(invocation);
}
