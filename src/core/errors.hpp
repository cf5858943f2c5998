// Every error the library reports, with its message: one list, so that a code and its text
// never drift apart. A message's "%s" stands for what it is about (a file's name, a switch).
#pragma once

#include <string>
#include <string_view>

namespace kvr {

// Add new errors here.
#define KELVARIN_ERRORS(E)                                                                    \
    /* loading a recording */                                                                 \
    E(no_memory, "Not enough memory to load input file!")                                     \
    E(bad_version, "This version of the sample file is not supported!")                       \
    E(bad_data, "The sample data is in a unsupported format!")                                \
    E(empty_file, "The sample file is empty!")                                                \
    E(too_long, "The sample file is too long!")                                               \
    E(cannot_open_input, "Cannot open input file %s !")                                       \
    E(cannot_read_input, "Cannot read input file %s !")                                       \
    E(rate_too_high, "The sample rate is above %s Hz!")                                       \
    /* the command line and the output */                                                     \
    E(invalid_option, "Invalid Option %s !")                                                  \
    E(too_many_files, "Too Many files on command line!")                                      \
    E(no_files, "No Files specified !")                                                       \
    E(output_is_input, "The output file %s is the input file!")                               \
    E(cannot_create_output, "Cannot create output file %s !")                                 \
    E(cannot_write_output, "Cannot write output file %s !")                                   \
    E(no_blocks, "No blocks found... please consult the documentation!")                      \
    /* reading an image (each told with the offset where it went wrong) */                    \
    E(image_unreadable, "cannot read the file")                                               \
    E(image_bad_signature, "bad signature")                                                   \
    E(image_header_short, "header runs past the end of the file")                             \
    E(image_unknown_block, "unknown block ID %s")                                             \
    E(image_block_short, "block runs past the end of the file")                               \
    E(image_record_short, "record runs past the end of the file")

enum class Error {
#define KELVARIN_ERROR_CODE(code, message) code,
    KELVARIN_ERRORS(KELVARIN_ERROR_CODE)
#undef KELVARIN_ERROR_CODE
};

// The message of an error as the list has it.
std::string_view error_message(Error error);
// The message with `subject` in place of its "%s".
std::string error_text(Error error, std::string_view subject = {});

}  // namespace kvr
