// kvrtool: lists KVR images and TAP files, and plays them back as recordings.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "output/safe_output.hpp"
#include "tool/commands.hpp"

int main(int argc, char** argv) {
    // A file-size limit makes writes fail instead of ending the process, and an interrupted
    // rendering leaves no temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    kvr::remove_temporaries_on_signals();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = kvr::run_kvrtool(args, stdout, stderr);
    // A report, listing or help text that did not reach standard output (a full disk, a
    // closed descriptor) is a failure, also when it was flushed before the end.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fputs("kvrtool: cannot write the standard output\n", stderr);
        return status == 0 ? 1 : status;
    }
    return status;
}
