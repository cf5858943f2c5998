// kvrtool: lists KVR images and TAP files, and plays them back as recordings.
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "output/safe_output.hpp"
#include "tool/commands.hpp"

int main(int argc, char** argv) {
    // The front end takes and gives back buffers of several megabytes for every piece of a
    // recording: kept in the heap for the next piece, they are not handed out again as fresh
    // pages to be faulted in and cleared. 32 MiB is the highest threshold the allocator
    // takes; a higher one would be refused.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
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
