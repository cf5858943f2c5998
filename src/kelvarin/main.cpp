#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kelvarin/run.hpp"
#include "conversion/context.hpp"
#include "output/safe_output.hpp"

int main(int argc, char** argv) {
    // A file-size limit makes writes fail instead of ending the process, so the failure is
    // reported and the partial output removed.
    std::signal(SIGXFSZ, SIG_IGN);
    // An interrupted conversion leaves no temporary file behind.
    kvr::remove_temporaries_on_signals();
    std::vector<std::string> args(argv + 1, argv + argc);
    auto cx = std::make_unique<kvr::Context>(stdout, stderr);
    const int status = kvr::run_program(*cx, args);
    cx->console.flush();
    return status;
}
