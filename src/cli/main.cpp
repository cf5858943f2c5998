#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/run.hpp"
#include "context.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto cx = std::make_unique<kvr::Context>(stdout, stderr);
    const int status = kvr::run_program(*cx, args);
    cx->console.flush();
    return status;
}
